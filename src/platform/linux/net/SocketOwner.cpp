#include "platform/linux/net/SocketOwner.h"

#include <arpa/inet.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace tarnwick::platform::linux_desktop {

namespace {

// "/proc/net/tcp" writes an address as its 32-bit word in host order, in hex, then ":PORT".
std::optional<std::string> procEndpoint(std::string_view ip, int port) {
  in_addr address{};
  std::string text(ip);
  if (::inet_pton(AF_INET, text.c_str(), &address) != 1 || (ntohl(address.s_addr) >> 24) != 127 ||
      port <= 0 || port > 0xffff) {
    return std::nullopt;
  }
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%08X:%04X", address.s_addr, static_cast<unsigned>(port));
  return std::string(buffer);
}

std::optional<std::uint32_t> ownerIn(const char* table, const std::string& local,
                                     const std::string& remote) {
  std::ifstream file(table);
  std::string line;
  std::getline(file, line);  // the column names
  while (std::getline(file, line)) {
    // sl local rem st queues timer retransmits uid ...
    char localField[64] = {};
    char remoteField[64] = {};
    unsigned long uid = 0;
    if (std::sscanf(line.c_str(), " %*s %63s %63s %*s %*s %*s %*s %lu", localField, remoteField,
                    &uid) != 3) {
      continue;
    }
    if (local == localField && remote == remoteField) {
      return static_cast<std::uint32_t>(uid);
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::uint32_t> loopbackPeerAccount(std::string_view serverIp, int serverPort,
                                                 std::string_view clientIp, int clientPort) {
  auto local = procEndpoint(serverIp, serverPort);
  auto remote = procEndpoint(clientIp, clientPort);
  if (!local || !remote) {
    return std::nullopt;
  }
  if (auto owner = ownerIn("/proc/net/tcp", *local, *remote)) {
    return owner;
  }
  // A dual-stack listener's accepted sockets carry IPv4-mapped addresses.
  constexpr std::string_view mapped = "0000000000000000FFFF0000";
  return ownerIn("/proc/net/tcp6", std::string(mapped) + *local, std::string(mapped) + *remote);
}

}  // namespace tarnwick::platform::linux_desktop
