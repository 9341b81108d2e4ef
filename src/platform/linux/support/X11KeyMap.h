#pragma once

// Keys as X knows them: virtual key codes of a US keyboard, modifier flags and typed text, each
// turned into X keysyms.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick::platform::linux_desktop {

// The X keysym of the key at a virtual key code's place on a US keyboard; nothing for codes that
// name no key X knows. Command keys become Control keys, as Command's shortcuts are Control's here.
std::optional<unsigned long> keysymForVirtualKey(std::uint16_t keyCode);

// The modifier keysyms to hold down for the canonical modifier flags, without repeats.
std::vector<unsigned long> modifierKeysymsForFlags(std::uint64_t flags);

// One keysym per character of the text, for typing it; characters that type nothing (control
// characters other than line breaks and tabs) are left out, an unpaired surrogate becomes U+FFFD.
std::vector<unsigned long> keysymsForText(const std::u16string& text);

}  // namespace tarnwick::platform::linux_desktop
