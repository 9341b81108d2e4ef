#include "app/ActivationChannel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace tarnwick::app {

void Descriptor::reset(int fd) {
  if (fd_ >= 0) {
    ::close(fd_);
  }
  fd_ = fd;
}

namespace {

using Clock = std::chrono::steady_clock;

#ifdef MSG_NOSIGNAL
constexpr int noSignal = MSG_NOSIGNAL;  // a vanished peer must not end this process
#else
constexpr int noSignal = 0;
#endif

int newStreamSocket() {
#ifdef SOCK_CLOEXEC
  return ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
#else
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd >= 0) {
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  return fd;
#endif
}

int acceptConnection(int listener) {
#ifdef SOCK_CLOEXEC
  return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
#else
  int fd = ::accept(listener, nullptr, nullptr);
  if (fd >= 0) {
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  return fd;
#endif
}

// The socket's address. A path too long for a socket address is reached through a descriptor of
// its folder, where the system allows it.
class SocketAddress {
 public:
  explicit SocketAddress(const std::filesystem::path& path) {
    address_.sun_family = AF_UNIX;
    if (set(path.string())) {
      return;
    }
#ifdef __linux__
    directory_.reset(::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory_) {
      set("/proc/self/fd/" + std::to_string(directory_.get()) + "/" + path.filename().string());
    }
#endif
  }
  SocketAddress(const SocketAddress&) = delete;
  SocketAddress& operator=(const SocketAddress&) = delete;

  bool valid() const {
    return valid_;
  }
  const sockaddr* get() const {
    return reinterpret_cast<const sockaddr*>(&address_);
  }
  socklen_t length() const {
    return sizeof address_;
  }

 private:
  bool set(const std::string& text) {
    if (text.empty() || text.size() >= sizeof address_.sun_path) {
      return false;
    }
    std::memcpy(address_.sun_path, text.c_str(), text.size() + 1);
    valid_ = true;
    return true;
  }

  sockaddr_un address_{};
  Descriptor directory_;
  bool valid_ = false;
};

int millisecondsUntil(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Reads to end of file within the deadline. Nothing on time-out, on error, when more than `limit`
// bytes arrive, or when `wake` (if not -1) becomes readable.
std::optional<std::string> readToEnd(int fd, std::size_t limit, Clock::time_point deadline,
                                     int wake) {
  std::string bytes;
  char buffer[4096];
  for (;;) {
    int wait = millisecondsUntil(deadline);
    if (wait <= 0) {
      return std::nullopt;
    }
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
    int ready = ::poll(fds, wake >= 0 ? 2 : 1, wait);
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready <= 0 || (wake >= 0 && fds[1].revents != 0)) {
      return std::nullopt;
    }
    ssize_t count = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (count == 0) {
      return bytes;
    }
    if (count < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
        continue;
      }
      return std::nullopt;
    }
    bytes.append(buffer, static_cast<std::size_t>(count));
    if (bytes.size() > limit) {
      return std::nullopt;
    }
  }
}

bool sendAll(int fd, std::string_view data, Clock::time_point deadline) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    int wait = millisecondsUntil(deadline);
    if (wait <= 0) {
      return false;
    }
    pollfd out = {fd, POLLOUT, 0};
    int ready = ::poll(&out, 1, wait);
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready <= 0) {
      return false;
    }
    ssize_t count = ::send(fd, data.data() + sent, data.size() - sent, MSG_DONTWAIT | noSignal);
    if (count < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
        continue;
      }
      return false;
    }
    sent += static_cast<std::size_t>(count);
  }
  return true;
}

void setSendTimeout(int fd, int milliseconds) {
  timeval limit{};
  limit.tv_sec = milliseconds / 1000;
  limit.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

}  // namespace

namespace activation {

std::optional<std::string> encodeRequest(const std::vector<std::string>& urls) {
  std::string request(requestWord);
  request.push_back('\0');
  for (const auto& url : urls) {
    if (url.empty() || url.find('\0') != std::string::npos) {
      return std::nullopt;
    }
    request += url;
    request.push_back('\0');
    if (request.size() > maximumRequestSize) {
      return std::nullopt;
    }
  }
  return request;
}

std::optional<std::vector<std::string>> decodeRequest(std::string_view request) {
  if (request.empty() || request.size() > maximumRequestSize || request.back() != '\0') {
    return std::nullopt;
  }
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  while (start < request.size()) {
    std::size_t end = request.find('\0', start);
    fields.push_back(request.substr(start, end - start));
    start = end + 1;
  }
  if (fields.front() != requestWord) {
    return std::nullopt;
  }
  std::vector<std::string> urls;
  for (std::size_t index = 1; index < fields.size(); ++index) {
    if (fields[index].empty()) {
      return std::nullopt;
    }
    urls.emplace_back(fields[index]);
  }
  return urls;
}

bool isStartupToken(std::string_view token) {
  return !token.empty() && token.size() <= maximumTokenSize &&
         std::all_of(token.begin(), token.end(), [](char c) { return c > ' ' && c < '\x7f'; });
}

std::optional<std::string> encodeRequest(const std::vector<std::string>& urls,
                                         std::string_view token) {
  if (token.empty()) {
    return encodeRequest(urls);
  }
  auto plain = encodeRequest(urls);
  if (!plain || !isStartupToken(token)) {
    return std::nullopt;
  }
  std::string request(tokenRequestWord);
  request.push_back('\0');
  request += token;
  request.append(*plain, requestWord.size());  // from the NUL that ends the token
  if (request.size() > maximumRequestSize) {
    return std::nullopt;
  }
  return request;
}

std::optional<Activation> decodeActivation(std::string_view request) {
  if (request.size() > maximumRequestSize) {
    return std::nullopt;
  }
  Activation activation;
  std::string plain;
  if (request.starts_with(tokenRequestWord) && request.size() > tokenRequestWord.size() &&
      request[tokenRequestWord.size()] == '\0') {
    // Read again as the plain request, once the token is taken out.
    auto rest = request.substr(tokenRequestWord.size() + 1);
    auto end = rest.find('\0');
    if (end == std::string_view::npos || !isStartupToken(rest.substr(0, end))) {
      return std::nullopt;
    }
    activation.token = rest.substr(0, end);
    plain = std::string(requestWord) + std::string(rest.substr(end));
    request = plain;
  }
  auto urls = decodeRequest(request);
  if (!urls) {
    return std::nullopt;
  }
  activation.urls = std::move(*urls);
  return activation;
}

bool isAcceptedPeer(std::optional<uid_t> peer, uid_t self) {
  return peer && *peer == self;
}

std::optional<uid_t> peerUser(int socket) {
#ifdef SO_PEERCRED
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
      length != sizeof credentials) {
    return std::nullopt;
  }
  return credentials.uid;
#else
  uid_t user = 0;
  gid_t group = 0;
  if (::getpeereid(socket, &user, &group) != 0) {
    return std::nullopt;
  }
  return user;
#endif
}

bool sendRequest(const std::filesystem::path& path, const std::string& request,
                 std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  SocketAddress address(path);
  if (!address.valid()) {
    return false;
  }
  Descriptor connection;
  for (;;) {
    connection.reset(newStreamSocket());
    if (!connection) {
      return false;
    }
    // Bounds the wait when the holder's queue of connections is full.
    setSendTimeout(connection.get(), std::max(1, millisecondsUntil(deadline)));
    if (::connect(connection.get(), address.get(), address.length()) == 0) {
      break;
    }
    int error = errno;
    connection.reset();
    // The holder may have taken the lock a moment ago and not yet opened its socket.
    constexpr auto pause = std::chrono::milliseconds(50);
    bool notYetOpen = error == ENOENT || error == ECONNREFUSED;
    if (!notYetOpen || Clock::now() + pause >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(pause);
  }
  // The URLs may carry invitation tokens: never hand them to another user's process.
  if (!isAcceptedPeer(peerUser(connection.get()), ::getuid())) {
    return false;
  }
  if (!sendAll(connection.get(), request, deadline)) {
    return false;
  }
  ::shutdown(connection.get(), SHUT_WR);
  auto reply = readToEnd(connection.get(), answer.size(), deadline, -1);
  return reply && *reply == answer;
}

namespace {

void serve(int connection, int wake, const ActivationHandler& onRequest,
           std::chrono::milliseconds timeout) {
  if (!isAcceptedPeer(peerUser(connection), ::getuid())) {
    return;
  }
  // A client that stalls cannot hold the listener for longer than this.
  auto deadline = Clock::now() + timeout;
  auto bytes = readToEnd(connection, maximumRequestSize, deadline, wake);
  if (!bytes) {
    return;
  }
  auto activation = decodeActivation(*bytes);
  if (!activation) {
    return;
  }
  try {
    onRequest(std::move(*activation));
  } catch (...) {
    return;  // the request is dropped; the listener goes on
  }
  sendAll(connection, answer, deadline);
}

}  // namespace

Descriptor openListener(const std::filesystem::path& path) {
  // Holding the lock, the name is ours: whatever is there was left by a holder that crashed.
  ::unlink(path.c_str());
  Descriptor listener(newStreamSocket());
  SocketAddress address(path);
  if (!listener || !address.valid() ||
      ::bind(listener.get(), address.get(), address.length()) != 0) {
    return Descriptor();
  }
  if (::chmod(path.c_str(), 0600) != 0 || ::listen(listener.get(), 16) != 0) {
    ::unlink(path.c_str());
    return Descriptor();
  }
  return listener;
}

void acceptRequests(int listener, int wake, const ActivationHandler& onRequest,
                    std::chrono::milliseconds timeout) {
  for (;;) {
    pollfd fds[2] = {{listener, POLLIN, 0}, {wake, POLLIN, 0}};
    int ready = ::poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    if (fds[1].revents != 0) {
      return;
    }
    if ((fds[0].revents & POLLIN) == 0) {
      return;  // the listening socket itself failed
    }
    Descriptor connection(acceptConnection(listener));
    if (!connection) {
      if (errno != EINTR && errno != ECONNABORTED && errno != EAGAIN) {
        // Out of descriptors or similar: let it pass rather than spin.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      continue;
    }
    serve(connection.get(), wake, onRequest, timeout);
  }
}

}  // namespace activation

}  // namespace tarnwick::app
