#pragma once

#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/ActivationChannel.h"

namespace tarnwick::app {

// At most one windowed copy per user. The lock file decides; the copy holding it also listens on a
// Unix socket beside it, through which a refused copy brings it forward and hands over its URLs.
class TarnwickVisibleInstance {
 public:
  static TarnwickVisibleInstance& shared();

  static constexpr const char* lockFolderName = "Tarnwick";
  static constexpr const char* lockFileName = "visible-app.lock";
  static constexpr const char* socketFileName = "visible-app.socket";
  // How long a refused copy waits for the holder to take its request.
  static constexpr std::chrono::milliseconds answerTimeout{2000};

  // True: this process may show its window (it holds the lock, or no lock could be set up).
  // False: another process holds the lock. `applicationSupport` absent: no lock at all.
  // Holding the lock, it also opens the activation socket, so that requests queue from then on.
  bool claim(const std::optional<std::filesystem::path>& applicationSupport);

  // Asks the copy holding the lock to come forward and to open `urls`, raising its window with
  // the desktop's `token` when that is one (activation::isStartupToken). Does nothing when no such
  // copy answers, and never in the copy that holds the lock itself.
  void activateExisting(const std::vector<std::string>& urls, std::string_view token = {});

  // In the copy holding the lock: `onActivate` runs for each request from another copy, on the
  // listener's own thread, with what it handed over. Does nothing without the lock.
  void listenForActivations(activation::ActivationHandler onActivate);
  // The same for the URLs alone.
  using ActivationHandler = activation::Handler;
  void listen(ActivationHandler onActivate);
  // Ends the listener; `onActivate` is not called once this has returned. Call it before
  // whatever the handler refers to goes away.
  void stopListening();

  int lockDescriptor() const { return lockDescriptor_.get(); }
  std::optional<std::filesystem::path> socketPath() const;

  TarnwickVisibleInstance() = default;
  ~TarnwickVisibleInstance();
  TarnwickVisibleInstance(const TarnwickVisibleInstance&) = delete;
  TarnwickVisibleInstance& operator=(const TarnwickVisibleInstance&) = delete;

 private:
  Descriptor lockDescriptor_;
  std::optional<std::filesystem::path> lockFolder_;
  Descriptor listenSocket_;
  Descriptor wakeRead_;
  Descriptor wakeWrite_;
  std::mutex listening_;  // guards the listener's start and stop
  std::thread listener_;
};

}  // namespace tarnwick::app
