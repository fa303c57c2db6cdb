// gwcfg - configure LoRa gateways over the UDP configuration protocol.
// Usage: gwcfg --help; docs/gwcfg.md.
#include <iostream>
#include <string>
#include <vector>

#include "gwcfg.h"

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    int status = gwcfg::run(args, std::cout, std::cerr);
    std::cout.flush();
    return status;
}
