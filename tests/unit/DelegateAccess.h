#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "app/TarnwickAppDelegate.h"

namespace tarnwick::app {

// State that other subsystems write in the running program, set directly by the tests.
struct TarnwickAppDelegateTestAccess {
  static void setTargetURL(TarnwickAppDelegate& delegate, std::optional<std::string> url) {
    delegate.targetURL_ = std::move(url);
  }
  static void setAttempts(TarnwickAppDelegate& delegate, std::int64_t attempts) {
    delegate.attempts_ = attempts;
  }
};

}  // namespace tarnwick::app
