#pragma once

// The activation channel: how a refused copy reaches the copy that holds the lock, over a Unix
// socket beside the lock file. The request's format and the trust rule are pure, so they are
// tested directly.

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnwick::app {

// An owned file descriptor, closed when it goes.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    reset(std::exchange(other.fd_, -1));
    return *this;
  }
  ~Descriptor() { reset(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Closes the descriptor held, if any, and holds `fd` instead.
  void reset(int fd = -1);

 private:
  int fd_;
};

namespace activation {

// What a refused copy hands over: its links, and the token its desktop gave it for raising a
// window (an X11 startup id or a Wayland activation token; empty for none).
struct Activation {
  std::vector<std::string> urls;
  std::string token;
  bool operator==(const Activation&) const = default;
};

// A request is the word "activate" and then each URL, every field ended by a NUL byte. With a
// token, the word is "activate-with-token" and the token is the first field after it, so that
// requests without one read as they always have.
inline constexpr std::string_view requestWord = "activate";
inline constexpr std::string_view tokenRequestWord = "activate-with-token";
inline constexpr std::string_view answer = "ok";
inline constexpr std::size_t maximumRequestSize = 64 * 1024;

// Nothing when a URL is empty or holds a NUL byte, or when the request would be too large.
std::optional<std::string> encodeRequest(const std::vector<std::string>& urls);
// The URLs of a well-formed request; nothing for anything else.
std::optional<std::vector<std::string>> decodeRequest(std::string_view request);

// The desktop's tokens are short printable ASCII without spaces; anything else comes from
// somewhere else and is never passed on.
inline constexpr std::size_t maximumTokenSize = 256;
bool isStartupToken(std::string_view token);
// The request of either form: the plain one for an empty token, nothing for one that is not a
// token or as encodeRequest above.
std::optional<std::string> encodeRequest(const std::vector<std::string>& urls,
                                         std::string_view token);
// A well-formed request of either form; nothing for anything else.
std::optional<Activation> decodeActivation(std::string_view request);

// Only this user's own processes may activate the window. Unknown credentials are refused.
bool isAcceptedPeer(std::optional<uid_t> peer, uid_t self);
// The user of the process at the other end of a connected Unix socket.
std::optional<uid_t> peerUser(int socket);

// Connects to the socket at `path`, sends `request` and waits for the answer, all within
// `timeout`. True only when the holder answered. Refuses to talk to another user's socket.
bool sendRequest(const std::filesystem::path& path, const std::string& request,
                 std::chrono::milliseconds timeout);

// The holder's end: a socket listening at `path` (replacing whatever is there), for this user
// only; none when it cannot be made.
Descriptor openListener(const std::filesystem::path& path);

// Takes requests on `listener` until `wake` becomes readable or the socket fails. Each of this
// user's well-formed requests goes to `onRequest` (on this thread), then is answered; a client
// that stalls is dropped after `timeout`.
using Handler = std::function<void(std::vector<std::string> urls)>;
using ActivationHandler = std::function<void(Activation activation)>;
void acceptRequests(int listener, int wake, const ActivationHandler& onRequest,
                    std::chrono::milliseconds timeout);

}  // namespace activation

}  // namespace tarnwick::app
