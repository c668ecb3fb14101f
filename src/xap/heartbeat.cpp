#include "xap/heartbeat.h"

namespace tagvane {

std::string HeartbeatPrefix(std::string_view uid, std::string_view source) {
  std::string text = "xap-hbeat\n{\nv=13\nhop=1\nuid=";
  text += uid;
  text += "\nclass=xap-hbeat.alive\nsource=";
  text += source;
  text += "\ninterval=";
  return text;
}

std::string HeartbeatTail(int port) { return "0\nport=" + std::to_string(port) + "\n}\n"; }

int ClampHeartbeatInterval(int seconds) {
  if (seconds > 60) return 60;
  if (seconds <= 0) return 0;
  if (seconds < 5) return 5;
  return seconds;
}

}  // namespace tagvane
