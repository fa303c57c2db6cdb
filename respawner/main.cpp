// respawner: waits on the restart request queue and, for each request, stops
// the named process, renews the DHCP lease of eth0 and relaunches the packet
// forwarder. No options, no configuration file; runs until killed.
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "respawn_core.h"

int main() {
    // Every line must reach a pipe or the journal as soon as it is printed.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    respawn::RespawnOps ops;
    ops.print = [](const std::string &line) { fputs(line.c_str(), stdout); };
    ops.process = [](pid_t pid, std::string *name, char *state) {
        char path[64];
        snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
        FILE *f = fopen(path, "re");
        if (!f)
            return -1;
        char buf[512];
        size_t n = fread(buf, 1, sizeof buf - 1, f);
        fclose(f);
        buf[n] = '\0';
        // "<pid> (<name>) <state> ...": the name may hold blanks and ')'.
        char *open = strchr(buf, '(');
        char *close = strrchr(buf, ')');
        if (!open || !close || close < open || close[1] != ' ' || !close[2]) {
            errno = EIO;
            return -1;
        }
        name->assign(open + 1, close);
        *state = close[2];
        return 0;
    };
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
