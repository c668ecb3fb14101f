#include "wiring.h"

#include "core/app.h"
#include "web/web_server.h"

namespace tagvane {

void InstallSubsystems(App& app) {
  // Each subsystem replaces its do-nothing stand-in here as it is built.
  app.SetHttpServer(std::make_unique<WebServer>(app));
}

}  // namespace tagvane
