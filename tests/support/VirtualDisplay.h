#pragma once

// An Xvfb of our own on a free display (with XTEST, no TCP), ended with the object.

#include <string>

namespace tarnwick::testsupport {

class VirtualDisplay {
 public:
  explicit VirtualDisplay(int width = 1280, int height = 900);
  ~VirtualDisplay();
  VirtualDisplay(const VirtualDisplay&) = delete;
  VirtualDisplay& operator=(const VirtualDisplay&) = delete;

  bool ready() const { return !name_.empty(); }
  const std::string& name() const { return name_; }  // e.g. ":3"
  int width() const { return width_; }
  int height() const { return height_; }

 private:
  int width_, height_;
  int pid_ = -1;
  std::string name_;
};

}  // namespace tarnwick::testsupport
