#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick::app {

// At most one windowed copy per user. The lock file decides; the copy holding it also listens on a
// Unix socket beside it, through which a refused copy brings it forward and hands over its URLs.
class TarnwickVisibleInstance {
 public:
  static TarnwickVisibleInstance& shared();

  static constexpr const char* lockFolderName = "Tarnwick";
  static constexpr const char* lockFileName = "visible-app.lock";
  static constexpr const char* socketFileName = "visible-app.socket";

  // True: this process may show its window (it holds the lock, or no lock could be set up).
  // False: another process holds the lock. `applicationSupport` absent: no lock at all.
  bool claim(const std::optional<std::filesystem::path>& applicationSupport);

  // Asks the copy holding the lock to come forward and to open `urls`. Does nothing when no such
  // copy answers.
  void activateExisting(const std::vector<std::string>& urls);

  // In the copy holding the lock: `onActivate` runs for each request from another copy, on the
  // listener's own thread, with the URLs it handed over. Does nothing without the lock.
  using ActivationHandler = std::function<void(std::vector<std::string> urls)>;
  void listen(ActivationHandler onActivate);

  int lockDescriptor() const { return lockDescriptor_; }

  TarnwickVisibleInstance() = default;
  TarnwickVisibleInstance(const TarnwickVisibleInstance&) = delete;
  TarnwickVisibleInstance& operator=(const TarnwickVisibleInstance&) = delete;

 private:
  int lockDescriptor_ = -1;
  std::optional<std::filesystem::path> lockFolder_;
};

}  // namespace tarnwick::app
