#include "app/TarnwickVisibleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace tarnwick::app {

namespace {

bool makePipe(int fds[2]) {
#ifdef __linux__
  return ::pipe2(fds, O_CLOEXEC) == 0;
#else
  if (::pipe(fds) != 0) {
    return false;
  }
  ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
  return true;
#endif
}

}  // namespace

TarnwickVisibleInstance& TarnwickVisibleInstance::shared() {
  static TarnwickVisibleInstance instance;  // thread-safe one-time initialisation
  return instance;
}

TarnwickVisibleInstance::~TarnwickVisibleInstance() {
  stopListening();
}

std::optional<std::filesystem::path> TarnwickVisibleInstance::socketPath() const {
  if (!lockFolder_) {
    return std::nullopt;
  }
  return *lockFolder_ / socketFileName;
}

bool TarnwickVisibleInstance::claim(
    const std::optional<std::filesystem::path>& applicationSupport) {
  // The guard leans towards starting: every set-up failure lets this copy run.
  if (!applicationSupport) {
    return true;
  }
  auto folder = *applicationSupport / lockFolderName;
  std::error_code ignored;
  std::filesystem::create_directories(folder, ignored);
  if (std::filesystem::is_directory(folder, ignored)) {
    // The socket inside must be reachable by this user only.
    ::chmod(folder.c_str(), 0700);
  }
  auto path = folder / lockFileName;
  Descriptor descriptor(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!descriptor) {
    return true;
  }
  lockFolder_ = folder;
  if (::flock(descriptor.get(), LOCK_EX | LOCK_NB) != 0) {
    return false;
  }
  // Held to the end: the lock lasts exactly as long as the process.
  lockDescriptor_ = std::move(descriptor);
  // Requests queue from now on.
  listenSocket_ = activation::openListener(*socketPath());
  return true;
}

void TarnwickVisibleInstance::activateExisting(const std::vector<std::string>& urls,
                                               std::string_view token) {
  // The holder of the lock is the one others activate; it never activates itself.
  if (lockDescriptor_ || !lockFolder_) {
    return;
  }
  if (!activation::isStartupToken(token)) {
    token = {};  // not the desktop's: the window still comes forward, without it
  }
  auto request = activation::encodeRequest(urls, token);
  if (!request) {
    // Links too many to hand over: still bring the window forward.
    request = activation::encodeRequest({}, token);
  }
  activation::sendRequest(*socketPath(), *request, answerTimeout);
}

void TarnwickVisibleInstance::listen(ActivationHandler onActivate) {
  if (onActivate) {
    listenForActivations([handler = std::move(onActivate)](activation::Activation activation) {
      handler(std::move(activation.urls));
    });
  }
}

void TarnwickVisibleInstance::listenForActivations(activation::ActivationHandler onActivate) {
  std::lock_guard guard(listening_);
  if (!listenSocket_ || listener_.joinable() || !onActivate) {
    return;
  }
  int wake[2];
  if (!makePipe(wake)) {
    return;
  }
  wakeRead_.reset(wake[0]);
  wakeWrite_.reset(wake[1]);
  try {
    listener_ = std::thread([this, handler = std::move(onActivate)] {
      activation::acceptRequests(listenSocket_.get(), wakeRead_.get(), handler, answerTimeout);
    });
  } catch (const std::system_error&) {
    wakeRead_.reset();
    wakeWrite_.reset();
  }
}

void TarnwickVisibleInstance::stopListening() {
  std::lock_guard guard(listening_);
  if (listener_.joinable()) {
    char byte = 1;
    while (::write(wakeWrite_.get(), &byte, 1) < 0 && errno == EINTR) {
    }
    listener_.join();
    wakeRead_.reset();
    wakeWrite_.reset();
  }
  if (listenSocket_) {
    listenSocket_.reset();
    ::unlink(socketPath()->c_str());
  }
}

}  // namespace tarnwick::app
