// The script errors a person reading the status page sees: the most recent
// ones, newest last, each with where it happened.
#pragma once

#include <string>

#include "core/clock.h"

namespace tagvane {

struct ScriptErrorRecord {
  DateTime time{};
  std::string file;       // the script file the line belongs to
  std::string procedure;  // the procedure the daemon ran ("" for a file's top level)
  int line = 0;
  std::string message;
};

}  // namespace tagvane
