// cli.h - what the project's programs share on their command lines: exit
// statuses, number parsing and the version line. Header only; target
// gw::cli (tools/cli/CMakeLists.txt), which also defines GW_VERSION.
//
// Every program (gwcfg, fpgactl, gwcfgd, respawner) exits with
//   0  done
//   1  the work failed: a device or gateway did not answer, refused, or a
//      transfer failed
//   2  refused input: unknown command or option, a bad value; nothing was
//      done
// and answers --version with one line, "PROGRAM VERSION".
#pragma once

#include <string>

#include "gwutil.h"

#ifndef GW_VERSION
#error "GW_VERSION is defined by the gw::cli target"
#endif

namespace gwcli {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr const char kVersion[] = GW_VERSION;

// "gwcfg 0.1.0\n": what --version prints.
inline std::string version_line(const char *program) {
    return std::string(program) + " " + kVersion + "\n";
}

// Numbers on command lines: gwutil.h gives the contracts.
using gwutil::parse_decimal;  // digits only, within [min, max]
using gwutil::parse_integer;  // decimal with an optional '-', or 0x hex

}  // namespace gwcli
