#pragma once

// A loopback port of the tests' own: listening but never answering, or (once closed) refusing.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace tarnwick::testsupport {

class LoopbackPort {
 public:
  LoopbackPort() {
    sockaddr_in address{.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}};
    socklen_t length = sizeof address;
    auto* any = reinterpret_cast<sockaddr*>(&address);
    if (::bind(fd_, any, length) == 0 && ::listen(fd_, 16) == 0 &&
        ::getsockname(fd_, any, &length) == 0) {
      port_ = ntohs(address.sin_port);
    }
  }
  ~LoopbackPort() { close(); }
  LoopbackPort(const LoopbackPort&) = delete;
  LoopbackPort& operator=(const LoopbackPort&) = delete;

  void close() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = -1;
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

 private:
  int fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int port_ = 0;
};

}  // namespace tarnwick::testsupport
