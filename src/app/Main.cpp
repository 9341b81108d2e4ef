#include "app/Main.h"

namespace tarnwick::app {

int runMain(Startup& startup, std::ostream& out) {
  // Support control comes first, so an automation command never competes for the lock.
  if (auto status = startup.runSupportControlIfRequested()) {
    out << (*status == 0 ? controlOKMarker : controlDeniedMarker) << '\n' << std::flush;
    return *status;
  }
  if (!startup.claimVisibleInstance()) {
    startup.activateExistingInstance();
    return 0;
  }
  return startup.runApplication();
}

}  // namespace tarnwick::app
