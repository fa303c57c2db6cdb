// respawner: waits on the restart request queue and, for each request, stops
// the named process, renews the DHCP lease of eth0 and relaunches the packet
// forwarder. No options (but --help and --version), no configuration file;
// runs until killed.
#include <dirent.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli.h"
#include "respawn_core.h"
#include "root_helper.h"

namespace {

// The process that `process` last found, held by a pidfd until `kill`, so
// that the signal reaches that very process: between the look at
// /proc/<pid>/stat and the kill, the process could end and its pid go to
// another. Kernels without pidfds (before 5.3) get the plain kill.
int g_checked_pidfd = -1;
pid_t g_checked_pid = 0;

void forget_checked() {
    if (g_checked_pidfd >= 0) close(g_checked_pidfd);
    g_checked_pidfd = -1;
    g_checked_pid = 0;
}

int pidfd_open_checked(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

int pidfd_signal(int pidfd, int sig) {
#ifdef SYS_pidfd_send_signal
    return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
#else
    (void)pidfd;
    (void)sig;
    errno = ENOSYS;
    return -1;
#endif
}

// Whether a basic_pkt_fwd that has not ended runs: /proc/<pid>/stat of
// every process this account may see.
bool any_forwarder_runs() {
    DIR *dir = opendir("/proc");
    if (!dir) return true;  // unknown: taken as running, so nothing is started
    bool found = false;
    while (const dirent *e = readdir(dir)) {
        if (found || e->d_name[0] < '1' || e->d_name[0] > '9') continue;
        char path[300];
        snprintf(path, sizeof path, "/proc/%s/stat", e->d_name);
        FILE *f = fopen(path, "re");
        if (!f) continue;
        char buf[512];
        const size_t n = fread(buf, 1, sizeof buf - 1, f);
        fclose(f);
        buf[n] = '\0';
        const char *open = strchr(buf, '(');
        const char *close = strrchr(buf, ')');
        if (!open || !close || close < open || close[1] != ' ') continue;
        const std::string name(open + 1, close);
        found = name == respawn::kForwarderName && close[2] != 'Z' && close[2] != 'X';
    }
    closedir(dir);
    return found;
}

// The root helper's client beside this program: PREFIX/lib/gwagent/gwagent-ask
// for PREFIX/bin/respawner, whatever the prefix.
std::string ask_path() {
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string path = n > 0 ? std::string(exe, static_cast<size_t>(n)) : "/usr/bin/respawner";
    for (int up = 0; up < 2; ++up) {
        const size_t slash = path.rfind('/');
        path.erase(slash == std::string::npos ? 0 : slash);
    }
    return path + "/lib/gwagent/gwagent-ask";
}

// "" where dhcpcd runs for eth0 alone (the given dhcpcd commands), else the
// root helper's renewal for the stack in use.
std::string renew_command() {
    gwhelper::NetworkStack stack;
    std::string how, why;
    if (!gwhelper::find_stack("", &stack, &how, &why)) {
        printf("%s; renewing with dhcpcd\n", why.c_str());
        return "";
    }
    if (stack == gwhelper::NetworkStack::DhcpcdEth0) return "";
    printf("network stack %s (%s): renewing through the root helper\n", gwhelper::stack_name(stack),
           how.c_str());
    return ask_path() + " network renew";
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 1) {
        const std::string arg = argv[1];
        if (argc == 2 && arg == "--version") {
            fputs(gwcli::version_line("respawner").c_str(), stdout);
            return gwcli::kExitOk;
        }
        if (argc == 2 && arg == "--help") {
            fputs(
                "usage: respawner\n"
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
    ops.print = [](const std::string &line) {
        fputs(line.c_str(), stdout);
    };
    ops.process = [](pid_t pid, std::string *name, char *state) {
        forget_checked();
        const int pidfd = pidfd_open_checked(pid);
        if (pidfd < 0 && errno != ENOSYS) return -1;  // no such process (ESRCH), or not one to hold
        char path[64];
        snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
        FILE *f = fopen(path, "re");
        if (!f) {
            const int err = errno;
            if (pidfd >= 0) ::close(pidfd);
            errno = err;
            return -1;
        }
        char buf[512];
        size_t n = fread(buf, 1, sizeof buf - 1, f);
        fclose(f);
        buf[n] = '\0';
        // "<pid> (<name>) <state> ...": the name may hold blanks and ')'.
        char *open = strchr(buf, '(');
        char *close = strrchr(buf, ')');
        if (!open || !close || close < open || close[1] != ' ' || !close[2]) {
            if (pidfd >= 0) ::close(pidfd);
            errno = EIO;
            return -1;
        }
        name->assign(open + 1, close);
        *state = close[2];
        if (pidfd >= 0) {
            // The stat read was the held process's only while that process
            // has not ended: a pidfd turns readable once it ends, and its
            // pid is not given away before. A zombie has ended too, and its
            // stat says so.
            pollfd p{pidfd, POLLIN, 0};
            if (poll(&p, 1, 0) != 0) {
                ::close(pidfd);
                if (*state == 'Z' || *state == 'X') return 0;
                errno = ESRCH;
                return -1;
            }
            g_checked_pidfd = pidfd;
            g_checked_pid = pid;
        }
        return 0;
    };
    ops.forwarder_runs = any_forwarder_runs;
    ops.kill = [](pid_t pid, int sig) {
        if (g_checked_pidfd < 0 || g_checked_pid != pid) return ::kill(pid, sig);
        const int rc = pidfd_signal(g_checked_pidfd, sig);
        const int err = errno;
        forget_checked();
        errno = err;
        return rc;
    };
    ops.shell = [](const char *command) {
        return std::system(command);
    };
    ops.renew_command = renew_command;
    ops.sleep = [](unsigned seconds) {
        ::sleep(seconds);
    };
    ops.chdir = [](const char *dir) {
        return ::chdir(dir);
    };
    ops.open_queue = []() {
        key_t key = ftok(respawn::kKeyPath, respawn::kProjectId);
        if (key == -1) return -1;
        return msgget(key, respawn::kQueueFlags);
    };
    ops.receive = [](int queue, void *area, std::size_t text_size, long type, int flags) {
        return msgrcv(queue, area, text_size, type, flags);
    };
    respawn::Serve(ops);
}
