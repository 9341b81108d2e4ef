#include "app/TarnwickVisibleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <system_error>

namespace tarnwick::app {

TarnwickVisibleInstance& TarnwickVisibleInstance::shared() {
  static TarnwickVisibleInstance instance;  // thread-safe one-time initialisation
  return instance;
}

bool TarnwickVisibleInstance::claim(const std::optional<std::filesystem::path>& applicationSupport) {
  // The guard leans towards starting: every set-up failure lets this copy run.
  if (!applicationSupport) {
    return true;
  }
  auto folder = *applicationSupport / lockFolderName;
  std::error_code ignored;
  std::filesystem::create_directories(folder, ignored);
  auto path = folder / lockFileName;
  int descriptor = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (descriptor < 0) {
    return true;
  }
  if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
    ::close(descriptor);
    lockFolder_ = folder;
    return false;
  }
  // Never closed: the lock lasts exactly as long as the process.
  lockDescriptor_ = descriptor;
  lockFolder_ = folder;
  return true;
}

void TarnwickVisibleInstance::activateExisting(const std::vector<std::string>&) {}

void TarnwickVisibleInstance::listen(ActivationHandler) {}

}  // namespace tarnwick::app
