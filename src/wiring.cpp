#include "wiring.h"

#include "core/app.h"

namespace tagvane {

void InstallSubsystems(App& app) {
  // Each subsystem replaces its do-nothing stand-in here as it is built.
  (void)app;
}

}  // namespace tagvane
