// Puts the real subsystems into an App (the daemon's composition root).
#pragma once

namespace tagvane {
class App;
void InstallSubsystems(App& app);
}  // namespace tagvane
