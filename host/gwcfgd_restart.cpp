// gwcfgd_restart.cpp - restart requests for the respawner.
//
// After an applied update the daemon asks the respawner to stop the running
// packet forwarder, renew the DHCP lease and start the forwarder again, so
// that it reads the new global_conf.json. The request is one System V
// message of type 1 on the queue keyed by ftok("/home/pi/fifo", 1): a mode
// text, a colon and the pid of the process to stop.
#include "gwcfgd.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace gwcfgd {
namespace {

constexpr const char kQueuePath[] = "/home/pi/fifo";
constexpr int kQueueProject = 1;
constexpr int kQueueFlags = 0x3B6;  // IPC_CREAT | 0666, as the respawner uses
constexpr size_t kMaxRequest = 50;  // the respawner reads at most 50 bytes
constexpr const char kForwarder[] = "basic_pkt_fwd";

struct RestartMessage {
    long mtype;
    char mtext[kMaxRequest];
};

// A /proc entry name that is a pid: decimal digits only, in int range.
int pid_of(const char *name) {
    if (*name < '1' || *name > '9')
        return -1;
    long pid = 0;
    for (const char *p = name; *p; ++p) {
        if (*p < '0' || *p > '9')
            return -1;
        pid = pid * 10 + (*p - '0');
        if (pid > INT_MAX)
            return -1;
    }
    return static_cast<int>(pid);
}

bool comm_is_forwarder(const char *proc_root, const char *entry) {
    char path[PATH_MAX];
    snprintf(path, sizeof path, "%s/%s/comm", proc_root, entry);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;  // gone meanwhile, or not ours to read
    char comm[32];
    ssize_t n = read(fd, comm, sizeof comm - 1);
    close(fd);
    if (n <= 0)
        return false;
    comm[n] = '\0';
    comm[strcspn(comm, "\n")] = '\0';
    return strcmp(comm, kForwarder) == 0;
}

__attribute__((format(printf, 1, 2))) void log_line(const char *format, ...) {
    char line[512];
    int n = snprintf(line, sizeof line, "gwcfgd: ");
    va_list ap;
    va_start(ap, format);
    vsnprintf(line + n, sizeof line - static_cast<size_t>(n) - 1, format, ap);
    va_end(ap);
    size_t len = strlen(line);
    line[len++] = '\n';
    fwrite(line, 1, len, stderr);
}

}  // namespace

int find_forwarder_pid(const char *proc_root) {
    DIR *dir = opendir(proc_root);
    if (!dir)
        return -1;
    int found = -1;
    while (const dirent *e = readdir(dir)) {
        const int pid = pid_of(e->d_name);
        if (pid <= 0 || (found != -1 && pid >= found))
            continue;
        if (comm_is_forwarder(proc_root, e->d_name))
            found = pid;
    }
    closedir(dir);
    return found;
}

int format_restart_request(uint8_t networkmode, int pid, char *out, size_t size) {
    const int n = snprintf(out, size, "%s:%d", networkmode == 1 ? "fix_ip mode" : "dhcp mode", pid);
    if (n < 0 || static_cast<size_t>(n) >= size || static_cast<size_t>(n) > kMaxRequest)
        return -1;
    return n;
}

bool post_restart_request(uint8_t networkmode) {
    const int pid = find_forwarder_pid();
    if (pid <= 0) {
        log_line("no restart request: %s is not running", kForwarder);
        return false;
    }
    const key_t key = ftok(kQueuePath, kQueueProject);
    if (key == -1) {
        log_line("no restart request: no queue key from %s (%s)", kQueuePath, strerror(errno));
        return false;
    }
    const int queue = msgget(key, kQueueFlags);
    if (queue == -1) {
        log_line("no restart request: cannot open the respawner's queue (%s)", strerror(errno));
        return false;
    }
    RestartMessage msg;
    memset(&msg, 0, sizeof msg);
    msg.mtype = 1;
    char text[kMaxRequest + 1];
    const int len = format_restart_request(networkmode, pid, text, sizeof text);
    if (len < 0) {
        log_line("no restart request: request text too long");
        return false;
    }
    memcpy(msg.mtext, text, static_cast<size_t>(len));
    // Never wait: a full queue (no respawner reading) must not stall the
    // configuration service.
    if (msgsnd(queue, &msg, static_cast<size_t>(len), IPC_NOWAIT) != 0) {
        log_line("restart request \"%s\" not posted: %s", text, strerror(errno));
        return false;
    }
    log_line("restart request posted: %s", text);
    return true;
}

}  // namespace gwcfgd
