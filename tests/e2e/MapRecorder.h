#pragma once

#include <string>

namespace tarnwick::e2e {

// Watches the X server for top-level windows being mapped, from construction on.
class MapRecorder {
 public:
  explicit MapRecorder(const std::string& display);
  ~MapRecorder();
  MapRecorder(const MapRecorder&) = delete;
  MapRecorder& operator=(const MapRecorder&) = delete;

  // How many windows transient for another (dialogs, not pop-ups) were mapped so far; -1 when
  // the display could not be opened.
  int dialogsMapped();

 private:
  void* display_ = nullptr;
  int dialogs_ = 0;
};

}  // namespace tarnwick::e2e
