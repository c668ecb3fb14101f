// One outgoing xAP message as the seven texts of the sending routine; held
// while the transport is not yet bound and in the BSC send queue.
#pragma once

#include <string>

namespace tagvane {

struct xapQueuedMessage {
  std::string MsgTarget;
  std::string MsgUID;
  std::string MsgClass;
  std::string MsgSection;
  std::string MsgData;
  std::string MsgSubAddress;
  std::string MsgTargetSubAddress;

  bool operator==(const xapQueuedMessage&) const = default;
};

}  // namespace tagvane
