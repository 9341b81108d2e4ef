#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
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
  // How long a refused copy waits for the holder to take its request.
  static constexpr std::chrono::milliseconds answerTimeout{2000};

  // True: this process may show its window (it holds the lock, or no lock could be set up).
  // False: another process holds the lock. `applicationSupport` absent: no lock at all.
  // Holding the lock, it also opens the activation socket, so that requests queue from then on.
  bool claim(const std::optional<std::filesystem::path>& applicationSupport);

  // Asks the copy holding the lock to come forward and to open `urls`. Does nothing when no such
  // copy answers, and never in the copy that holds the lock itself.
  void activateExisting(const std::vector<std::string>& urls);

  // In the copy holding the lock: `onActivate` runs for each request from another copy, on the
  // listener's own thread, with the URLs it handed over. Does nothing without the lock.
  using ActivationHandler = std::function<void(std::vector<std::string> urls)>;
  void listen(ActivationHandler onActivate);
  // Ends the listener; `onActivate` is not called once this has returned. Call it before
  // whatever the handler refers to goes away.
  void stopListening();

  int lockDescriptor() const { return lockDescriptor_; }
  std::optional<std::filesystem::path> socketPath() const;

  TarnwickVisibleInstance() = default;
  ~TarnwickVisibleInstance();
  TarnwickVisibleInstance(const TarnwickVisibleInstance&) = delete;
  TarnwickVisibleInstance& operator=(const TarnwickVisibleInstance&) = delete;

 private:
  void openSocket();
  void acceptLoop(const ActivationHandler& onActivate);
  void serve(int connection, const ActivationHandler& onActivate);

  int lockDescriptor_ = -1;
  std::optional<std::filesystem::path> lockFolder_;
  int listenSocket_ = -1;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::mutex listening_;  // guards the listener's start and stop
  std::thread listener_;
};

// The activation channel's pure rules, kept apart so they are tested directly.
namespace activation {

// A request is the word "activate" and then each URL, every field ended by a NUL byte.
inline constexpr std::string_view requestWord = "activate";
inline constexpr std::string_view answer = "ok";
inline constexpr std::size_t maximumRequestSize = 64 * 1024;

// Nothing when a URL is empty or holds a NUL byte, or when the request would be too large.
std::optional<std::string> encodeRequest(const std::vector<std::string>& urls);
// The URLs of a well-formed request; nothing for anything else.
std::optional<std::vector<std::string>> decodeRequest(std::string_view request);

// Only this user's own processes may activate the window. Unknown credentials are refused.
bool isAcceptedPeer(std::optional<uid_t> peer, uid_t self);
// The user of the process at the other end of a connected Unix socket.
std::optional<uid_t> peerUser(int socket);

// Connects to the socket at `path`, sends `request` and waits for the answer, all within
// `timeout`. True only when the holder answered. Refuses to talk to another user's socket.
bool sendRequest(const std::filesystem::path& path, const std::string& request,
                 std::chrono::milliseconds timeout);

}  // namespace activation

}  // namespace tarnwick::app
