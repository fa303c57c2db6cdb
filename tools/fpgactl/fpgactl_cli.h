// fpgactl: bring-up tool for the concentrator FPGA. The command logic lives
// here so tests can run it in-process against a simulated spidev; the
// fpgactl program's main() only calls Run().
#pragma once

#include <cstdio>

#include "cli.h"

namespace fpgactl {

// Exit statuses, shared with the project's other programs (cli.h).
constexpr int kOk = gwcli::kExitOk;
constexpr int kDeviceError = gwcli::kExitFailed;  // no device, wrong version, a transfer failed
constexpr int kUsageError =
    gwcli::kExitUsage;  // bad command line, unknown register, read-only, out of range

// Runs one command line (argv[0] is the program name). Results go to `out`,
// messages to `err`. Connects, acts and disconnects; input is checked before
// the device is touched.
int Run(int argc, char **argv, std::FILE *out, std::FILE *err);

}  // namespace fpgactl
