// respawner: waits on the restart request queue and, for each request, stops
// the named process, renews the DHCP lease of eth0 and relaunches the packet
// forwarder. No options, no configuration file; runs until killed.
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "respawn_core.h"

int main() {
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
