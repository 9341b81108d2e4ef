#pragma once

#include <string>

namespace tarnwick::e2e {

// A plain window over the whole screen, so that the shell coming forward can be seen.
class CoveringWindow {
 public:
  CoveringWindow(const std::string& display, int width, int height);
  ~CoveringWindow();
  CoveringWindow(const CoveringWindow&) = delete;
  CoveringWindow& operator=(const CoveringWindow&) = delete;
  unsigned long id() const { return window_; }
  void raise();

 private:
  void* display_ = nullptr;
  unsigned long window_ = 0;
};

}  // namespace tarnwick::e2e
