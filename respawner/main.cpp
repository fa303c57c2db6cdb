// respawner: waits on the restart request queue and, for each request, stops
// the named process, renews the DHCP lease of eth0 and relaunches the packet
// forwarder. No options (but --help and --version), no configuration file;
// runs until killed.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <chrono>
#include <thread>

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

// ---- the forwarder's launch ----------------------------------------------
//
// A launch is a child of the respawner: "/bin/sh -c 'sudo ./basic_pkt_fwd'"
// with kLaunchLock locked (flock) on a descriptor that the shell, sudo and
// (as long as sudo passes it on or waits for it) the forwarder inherit. The
// respawner does not wait for it, but knows while it lives: from the fork,
// through however long sudo takes, to the forwarder's end. A forwarder that
// is not visible in /proc yet is therefore never taken for none.

pid_t g_launcher = -1;  // the launch under way or running, -1 for none

// Whether the respawner's own launch has not ended; reaps it (and any other
// child that has ended) when it has.
bool own_launch_lives() {
    int status;
    for (;;) {
        const pid_t r = waitpid(-1, &status, WNOHANG);
        if (r <= 0) break;
        if (r == g_launcher) g_launcher = -1;
    }
    return g_launcher > 0;
}

int open_launch_lock() {
    return open(respawn::kLaunchLock, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
}

// Whether some launch (of this respawner or of one before it) holds the lock.
bool launch_lock_held() {
    const int fd = open_launch_lock();
    if (fd < 0) return errno != ENOENT;  // unknown: taken as held
    const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0;
    close(fd);  // releases it when this look took it
    return held;
}

pid_t launch_forwarder(const char *command) {
    const int lock = open_launch_lock();
    if (lock < 0) return -1;
    if (flock(lock, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        close(lock);
        errno = err == EWOULDBLOCK ? EBUSY : err;
        return -1;
    }
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        // The lock goes with the launch: inherited past exec.
        fcntl(lock, F_SETFD, 0);
        execl("/bin/sh", "sh", "-c", command, static_cast<char *>(nullptr));
        _exit(127);
    }
    const int err = errno;
    close(lock);  // the child's descriptor holds it now
    if (pid < 0) {
        errno = err;
        return -1;
    }
    g_launcher = pid;
    return pid;
}

// Waits up to ms for the process signalled last to end (through its pidfd,
// held from the look before the signal), else for its pid to be gone.
bool wait_gone(pid_t pid, unsigned ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    bool gone = false;
    if (g_checked_pidfd >= 0 && g_checked_pid == pid) {
        pollfd p{g_checked_pidfd, POLLIN, 0};
        gone = poll(&p, 1, static_cast<int>(ms)) > 0;
        forget_checked();
    } else {
        for (;;) {
            own_launch_lives();  // reaps it, when the stopped one was the launch itself
            char path[64];
            snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
            FILE *f = fopen(path, "re");
            char buf[512] = "";
            if (f) {
                const size_t n = fread(buf, 1, sizeof buf - 1, f);
                buf[n] = '\0';
                fclose(f);
            }
            const char *close = strrchr(buf, ')');
            gone = !f || (close && (close[2] == 'Z' || close[2] == 'X'));
            if (gone || std::chrono::steady_clock::now() >= end) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    // What launched it (sudo waiting for it, flock in the boot unit) ends
    // just after it and lets the lock go: a moment for that, so that it is
    // not taken for another launch.
    const auto settle = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (gone && (own_launch_lives() || launch_lock_held()) &&
           std::chrono::steady_clock::now() < settle)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return gone;
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
    ops.forwarder_runs = []() {
        // In this order: a launch turns into a forwarder, never back.
        return own_launch_lives() || launch_lock_held() || any_forwarder_runs();
    };
    ops.kill = [](pid_t pid, int sig) {
        if (g_checked_pidfd < 0 || g_checked_pid != pid) return ::kill(pid, sig);
        // The pidfd stays held: wait_gone watches the process end.
        const int rc = pidfd_signal(g_checked_pidfd, sig);
        if (rc != 0) {
            const int err = errno;
            forget_checked();
            errno = err;
        }
        return rc;
    };
    ops.shell = [](const char *command) {
        return std::system(command);
    };
    ops.renew_command = renew_command;
    ops.wait_gone = wait_gone;
    ops.launch = launch_forwarder;
    ops.sleep = [](unsigned seconds) {
        ::sleep(seconds);
    };
    ops.chdir = [](const char *dir) {
        return ::chdir(dir);
    };
    ops.open_queue = []() {
        std::string error;
        const int queue = respawn::OpenQueue(&error);
        if (queue < 0 && errno == EPERM) {
            const int err = errno;
            printf("%s\n", error.c_str());
            errno = err;
        }
        return queue;
    };
    ops.receive = [](int queue, void *area, std::size_t text_size, long type, int flags) {
        return msgrcv(queue, area, text_size, type, flags);
    };
    respawn::Serve(ops);
}
