// The Connector's interface check answer, decoded and turned into the report's outcome.
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

#include "bridge/InterfaceCheck.h"

namespace {

void require(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string body(reinterpret_cast<const char*>(data), size);
  using namespace tarnwick::bridge;
  auto check = decodeInterfaceCheck(body);
  const LoadedInterface page{"2026.12.1", "channel", "token"};
  auto failed = interfaceOutcome(500, check, page, "N.");
  require(std::holds_alternative<InterfaceMessage>(failed) &&
          std::get<InterfaceMessage>(failed).title == "Tarnwick");
  auto outcome = interfaceOutcome(200, check, page, "N.");
  if (const auto* message = std::get_if<InterfaceMessage>(&outcome)) {
    require(message->title == (check ? "Tarnwick Is Up to Date" : "Tarnwick"));
    require(!message->message.empty());
  } else {
    require(check.has_value());
  }
  // The arrival time is outside input too: any text gives a date or nothing, never a fault.
  arrivedOn(body);
  return 0;
}
