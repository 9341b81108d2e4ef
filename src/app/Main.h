#pragma once

#include <cstdint>
#include <optional>
#include <ostream>

namespace tarnwick::app {

// The three lives a process may lead, in the order main tests them.
class Startup {
 public:
  virtual ~Startup() = default;

  // A status when a support-control command ran; nothing when none was asked for.
  virtual std::optional<std::int32_t> runSupportControlIfRequested() = 0;
  virtual bool claimVisibleInstance() = 0;
  virtual void activateExistingInstance() = 0;
  // Creates the delegate and runs the event loop; gives the status to exit with.
  virtual int runApplication() = 0;
};

inline constexpr const char* controlOKMarker = "TARNWICK_CONTROL_OK";
inline constexpr const char* controlDeniedMarker = "TARNWICK_CONTROL_DENIED";

// Gives the process's exit status.
int runMain(Startup& startup, std::ostream& out);

}  // namespace tarnwick::app
