// gwcfg.h - the configuration tool, callable without a process.
//
// gwcfg finds LoRa gateways on the local network and reads, changes, backs up
// and compares their configuration over the UDP configuration protocol, one
// gateway or a whole fleet at a time (docs/gwcfg.md, man gwcfg).
// gwcfg_main.cpp is a thin main() around run(); tests drive run() directly
// or the built program.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "cli.h"

namespace gwcfg {

// Exit statuses, shared with the project's other programs (cli.h).
constexpr int kExitOk = gwcli::kExitOk;
constexpr int kExitFailed = gwcli::kExitFailed;  // no answer, refused, verification failed
constexpr int kExitUsage = gwcli::kExitUsage;    // bad command line or input; nothing was sent

struct RunOptions {
    // Draw a progress line on err while gateways are asked (err is a
    // terminal).
    bool progress = false;
};

// Runs one command line (without the program name): results go to out,
// warnings, errors and the progress line to err. Returns the exit status.
// Each call opens and closes its own UDP socket; nothing is kept between
// calls.
int run(const std::vector<std::string> &args, std::ostream &out, std::ostream &err,
        const RunOptions &options = RunOptions());

}  // namespace gwcfg
