#include "wiring.h"

#include "core/app.h"
#include "xap/xap_service.h"

namespace tagvane {

void InstallSubsystems(App& app) {
  // Each subsystem replaces its do-nothing stand-in here as it is built.
  InstallXap(app);
}

}  // namespace tagvane
