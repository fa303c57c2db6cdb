// web.h - the `gwcfg web` verb's handler (private to gwcfg; the server is
// in web_server.h).
#pragma once

#include "command_line.h"

namespace gwcfg {

// Serves the fleet in a browser until SIGINT or SIGTERM (docs/web.md).
int cmd_web(const Invocation &inv, Io &io);

}  // namespace gwcfg
