// gwcfg.h - the configuration tool's commands, callable without a process.
//
// gwcfg_main.cpp is a thin main() around run(); tests drive run() directly
// or the built binary.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace gwcfg {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // no answer, refused, verification failed
constexpr int kExitUsage = 2;

// Runs one command line (without the program name): results go to out,
// warnings and errors to err. Returns the exit status.
int run(const std::vector<std::string> &args, std::ostream &out, std::ostream &err);

}  // namespace gwcfg
