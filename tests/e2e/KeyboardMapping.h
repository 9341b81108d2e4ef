#pragma once

#include <string>
#include <vector>

namespace tarnwick::e2e {

// The display's core keyboard mapping: every keycode's keysyms, in keycode order.
std::vector<unsigned long> keyboardMapping(const std::string& display);

}  // namespace tarnwick::e2e
