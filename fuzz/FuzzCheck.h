#pragma once

// What every fuzz target asserts with: a broken property stops the run where the fuzzer sees it.
namespace tarnwick::fuzz {

inline void require(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}

}  // namespace tarnwick::fuzz
