// respawner: waits on the restart request queue and, for each request, stops
// the named process, renews the DHCP lease of eth0 and relaunches the packet
// forwarder. No options (but --help and --version), no configuration file;
// runs until killed.
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <string>

#include "cli.h"
#include "respawn_core.h"

int main(int argc, char **argv) {
    if (argc > 1) {
        const std::string arg = argv[1];
        if (argc == 2 && arg == "--version") {
            fputs(gwcli::version_line("respawner").c_str(), stdout);
            return gwcli::kExitOk;
        }
        if (argc == 2 && arg == "--help") {
            fputs("usage: respawner\n"
                  "\n"
                  "Waits for restart requests (MODE:PID, message type 1) on the System V\n"
                  "message queue keyed by ftok(\"/home/pi/fifo\", 1); for each one stops PID\n"
                  "with SIGQUIT, renews the DHCP lease of eth0 and relaunches basic_pkt_fwd.\n"
                  "Takes no options; runs until killed. man respawner.\n",
                  stdout);
            return gwcli::kExitOk;
        }
        fprintf(stderr, "respawner: takes no arguments (--help, --version); run it without any.\n");
        return gwcli::kExitUsage;
    }
    // Every line must reach a pipe or the journal as soon as it is printed.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    respawn::RespawnOps ops;
    ops.print = [](const std::string &line) { fputs(line.c_str(), stdout); };
    ops.kill = [](pid_t pid, int sig) { return ::kill(pid, sig); };
    ops.shell = [](const char *command) { return std::system(command); };
    ops.sleep = [](unsigned seconds) { ::sleep(seconds); };
    ops.chdir = [](const char *dir) { return ::chdir(dir); };
    ops.open_queue = []() {
        key_t key = ftok(respawn::kKeyPath, respawn::kProjectId);
        if (key == -1)
            return -1;
        return msgget(key, respawn::kQueueFlags);
    };
    ops.receive = [](int queue, void *area, std::size_t text_size, long type, int flags) {
        return msgrcv(queue, area, text_size, type, flags);
    };
    respawn::Serve(ops);
}
