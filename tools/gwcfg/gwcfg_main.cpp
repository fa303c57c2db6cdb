// gwcfg - configure LoRa gateways over the UDP configuration protocol.
// Usage: gwcfg --help; docs/gwcfg.md; man gwcfg.
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "gwcfg.h"

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    gwcfg::RunOptions options;
    options.progress = isatty(STDERR_FILENO) == 1;
    const int status = gwcfg::run(args, std::cout, std::cerr, options);
    std::cout.flush();
    return status;
}
