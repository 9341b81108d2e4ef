#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tarnwick::platform::linux_desktop {

// The account that owns the TCP socket of this network namespace whose local end is
// `serverIp`:`serverPort` and whose remote end is `clientIp`:`clientPort` — for a connection of
// our own, the server's side of it, so the very listener that accepted it. Only IPv4 loopback
// addresses are looked up (plain and IPv4-mapped in the IPv6 table); anything else is absent.
std::optional<std::uint32_t> loopbackPeerAccount(std::string_view serverIp, int serverPort,
                                                 std::string_view clientIp, int clientPort);

}  // namespace tarnwick::platform::linux_desktop
