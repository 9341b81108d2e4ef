#pragma once

// An Xvfb of our own on a free display (with XTEST, no TCP), ended with the object.

#include <memory>
#include <string>

#include "Files.h"
#include "Processes.h"

namespace tarnwick::testsupport {

class VirtualDisplay {
 public:
  explicit VirtualDisplay(int width = 1280, int height = 900);
  bool ready() const { return !name_.empty(); }
  const std::string& name() const { return name_; }  // e.g. ":3"

 private:
  TemporaryFolder folder_{"tarnwick-display"};
  std::unique_ptr<Process> server_;
  std::string name_;
};

}  // namespace tarnwick::testsupport
