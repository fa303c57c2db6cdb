// gwcfgd_restart.cpp - restart requests for the respawner.
//
// After an applied update the daemon asks the respawner to stop the running
// packet forwarder, renew the DHCP lease and start the forwarder again, so
// that it reads the new global_conf.json. The request is one System V
// message of type 1 on the queue keyed by ftok("/home/pi/fifo", 1): a mode
// text, a colon and the pid of the process to stop.
//
// A request names one process, and the respawner serves requests one after
// another, so a burst of updates can end with a forwarder that started
// before the newest file was complete (its request named a forwarder that
// was already gone). The daemon therefore watches until a forwarder runs
// that started after the newest global_conf.json: a stale one gets a request
// of its own (again after kRequestPatienceNs without success); once a fresh
// one runs, the live network settings are probed again on a schedule while
// the lease settles.
#include "gwcfgd.h"

#include "agent.h"
#include "restart_request.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <time.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <algorithm>

namespace gwcfgd {
namespace {

constexpr size_t kMaxRequest = respawn::kMaxText;
constexpr const char kForwarder[] = "basic_pkt_fwd";

struct RestartMessage {
    long mtype;
    char mtext[kMaxRequest];
};

// A /proc entry name that is a pid: decimal digits only, in int range.
int pid_of(const char *name) {
    if (*name < '1' || *name > '9') return -1;
    int pid = 0;
    for (const char *p = name; *p; ++p) {
        if (*p < '0' || *p > '9') return -1;
        const int digit = *p - '0';
        if (pid > (INT_MAX - digit) / 10)  // checked before it can overflow, whatever long is
            return -1;
        pid = pid * 10 + digit;
    }
    return pid;
}

bool comm_is_forwarder(const char *proc_root, const char *entry) {
    char path[PATH_MAX];
    snprintf(path, sizeof path, "%s/%s/comm", proc_root, entry);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;  // gone meanwhile, or not ours to read
    char comm[32];
    ssize_t n = read(fd, comm, sizeof comm - 1);
    close(fd);
    if (n <= 0) return false;
    comm[n] = '\0';
    comm[strcspn(comm, "\n")] = '\0';
    return strcmp(comm, kForwarder) == 0;
}

// The start time (clock ticks after boot, field 22), the state letter and
// the parent's pid of /proc/<entry>/stat; false when it cannot be read (or
// no stat file, as in a test's tree: start 0, running, no parent).
bool stat_of(const char *proc_root, const char *entry, unsigned long long *start, char *state,
             int *ppid) {
    *start = 0;
    *state = 'S';
    *ppid = 0;
    char path[PATH_MAX];
    snprintf(path, sizeof path, "%s/%s/stat", proc_root, entry);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT;
    char buf[1024];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return false;
    buf[n] = '\0';
    const char *p = strrchr(buf, ')');
    if (!p || p[1] != ' ') return false;
    *state = p[2];
    p += 2;  // at the state: field 3
    *ppid = atoi(p + 2);
    for (int field = 3; field < 22; ++field) {
        p = strchr(p, ' ');
        if (!p) return false;
        ++p;
    }
    *start = strtoull(p, nullptr, 10);
    return true;
}

constexpr uint64_t kRequestPatienceNs = 30ull * 1000000000u;  // then ask again
const uint64_t kProbeDelaysNs[] = {3ull * 1000000000u, 10ull * 1000000000u, 30ull * 1000000000u};

struct Watch {
    bool active = false;         // an update waits for a fresh forwarder
    unsigned long long written;  // ticks after boot when the newest file was complete
    int requested_pid = -1;      // the forwarder the last request named
    uint64_t requested_ns = 0;   // when (monotonic)
    uint8_t networkmode = 0;
    uint64_t probe_base_ns = 0;  // when the fresh forwarder was seen
    size_t probes_done = 0;
    bool probing = false;
} g_watch;

}  // namespace

std::vector<Forwarder> list_forwarders(const char *proc_root) {
    std::vector<Forwarder> out;
    std::vector<int> parents;
    DIR *dir = opendir(proc_root);
    if (!dir) return out;
    while (const dirent *e = readdir(dir)) {
        const int pid = pid_of(e->d_name);
        if (pid <= 0 || !comm_is_forwarder(proc_root, e->d_name)) continue;
        Forwarder f{pid, 0};
        char state;
        int ppid;
        if (!stat_of(proc_root, e->d_name, &f.start_ticks, &state, &ppid) || state == 'Z' ||
            state == 'X')
            continue;
        out.push_back(f);
        parents.push_back(ppid);
    }
    closedir(dir);
    // A process a forwarder forked (a helper, the leak checker of a
    // sanitizer build as it exits) carries the name too, but is part of
    // that forwarder, not one of its own: taken for a fresh forwarder, its
    // short life would pass for a forwarder that exited.
    std::vector<Forwarder> own;
    for (size_t i = 0; i < out.size(); ++i) {
        bool child = false;
        for (const Forwarder &f : out)
            child = child || f.pid == parents[i];
        if (!child) own.push_back(out[i]);
    }
    out.swap(own);
    std::sort(out.begin(), out.end(), [](const Forwarder &a, const Forwarder &b) {
        return a.pid < b.pid;
    });
    return out;
}

int find_forwarder_pid(const char *proc_root) {
    const std::vector<Forwarder> all = list_forwarders(proc_root);
    return all.empty() ? -1 : all.front().pid;
}

unsigned long long boot_ticks_now() {
    timespec ts;
    clock_gettime(CLOCK_BOOTTIME, &ts);
    const unsigned long long hz = static_cast<unsigned long long>(sysconf(_SC_CLK_TCK));
    return static_cast<unsigned long long>(ts.tv_sec) * hz +
           static_cast<unsigned long long>(ts.tv_nsec) * hz / 1000000000u;
}

int format_restart_request(uint8_t networkmode, int pid, char *out, size_t size) {
    return respawn::FormatRequest(networkmode == 1 ? "fix_ip mode" : "dhcp mode", pid, out, size);
}

namespace {

// Takes every message of another type than a request off the queue: the
// respawner reads only requests, so such messages would stay until a reboot
// and, once they fill the queue, keep every request out. The number taken.
unsigned drop_unread(int queue) {
    struct {
        long mtype;
        char mtext[8192];
    } junk;
    unsigned dropped = 0;
    while (dropped < 100000 && msgrcv(queue, &junk, sizeof junk.mtext, respawn::kRequestType,
                                      IPC_NOWAIT | MSG_EXCEPT | MSG_NOERROR) >= 0)
        ++dropped;
    return dropped;
}

bool post_for(int pid, uint8_t networkmode) {
    std::string error;
    const int queue = respawn::OpenQueue(&error);
    if (queue == -1) {
        log_line("no restart request: %s", error.c_str());
        return false;
    }
    RestartMessage msg;
    memset(&msg, 0, sizeof msg);
    msg.mtype = respawn::kRequestType;
    char text[kMaxRequest + 1];
    const int len = format_restart_request(networkmode, pid, text, sizeof text);
    if (len < 0) {
        log_line("no restart request: request text too long");
        return false;
    }
    memcpy(msg.mtext, text, static_cast<size_t>(len));
    // Never wait: a full queue (no respawner reading) must not stall the
    // configuration service.
    int rc = msgsnd(queue, &msg, static_cast<size_t>(len), IPC_NOWAIT);
    if (rc != 0 && errno == EAGAIN) {
        if (const unsigned dropped = drop_unread(queue)) {
            log_line(
                "the respawner's queue was full: took %u message%s of other types that "
                "no one reads off it",
                dropped, dropped == 1 ? "" : "s");
            rc = msgsnd(queue, &msg, static_cast<size_t>(len), IPC_NOWAIT);
        } else {
            errno = EAGAIN;
        }
    }
    if (rc != 0) {
        log_line("restart request \"%s\" not posted: %s", text, strerror(errno));
        return false;
    }
    log_line("restart request posted: %s", text);
    g_watch.requested_pid = pid;
    g_watch.requested_ns = monotonic_ns();
    return true;
}

}  // namespace

bool post_restart_request(uint8_t networkmode, bool start_if_none) {
    g_watch.written = boot_ticks_now();
    g_watch.networkmode = networkmode;
    const int pid = find_forwarder_pid();
    if (pid <= 0 && start_if_none) {
        // The forwarder a change of this daemon stopped has no pid to name:
        // one that no process has makes the respawner start a forwarder,
        // as it does when none runs.
        log_line("%s is not running; asking the respawner to start one", kForwarder);
        g_watch.active = true;
        return post_for(kNoSuchPid, networkmode);
    }
    if (pid <= 0) {
        log_line("no restart request: %s is not running", kForwarder);
        // A restart asked for earlier may be under way: its forwarder is
        // watched for all the same.
        g_watch.active = g_watch.requested_pid > 0 &&
                         monotonic_ns() - g_watch.requested_ns < kRequestPatienceNs;
        return false;
    }
    g_watch.active = true;
    return post_for(pid, networkmode);
}

bool restart_requested_by_another(unsigned long long start_ticks, int *sender) {
    const key_t key = ftok(respawn::kKeyPath, respawn::kProjectId);
    const int queue = key == -1 ? -1 : msgget(key, 0);
    msqid_ds info{};
    if (queue == -1 || msgctl(queue, IPC_STAT, &info) != 0) return false;
    if (info.msg_lspid <= 0 || info.msg_lspid == getpid()) return false;
    // The send time is wall-clock seconds: the start's, in the same clock.
    const unsigned long long hz = static_cast<unsigned long long>(sysconf(_SC_CLK_TCK));
    const unsigned long long now = boot_ticks_now();
    const time_t started = time(nullptr) -
                           static_cast<time_t>((now > start_ticks ? now - start_ticks : 0) / hz);
    if (info.msg_stime < started - 1) return false;
    *sender = info.msg_lspid;
    return true;
}

void restart_stop_watching() { g_watch.active = false; }

void restart_tick(uint64_t now_ns) {
    if (g_watch.probing) {
        if (g_watch.probes_done < sizeof kProbeDelaysNs / sizeof kProbeDelaysNs[0]) {
            if (now_ns - g_watch.probe_base_ns >= kProbeDelaysNs[g_watch.probes_done]) {
                ++g_watch.probes_done;
                UpdateCurrentIP();
            }
        } else {
            g_watch.probing = false;
        }
    }
    if (!g_watch.active) return;
    const std::vector<Forwarder> all = list_forwarders();
    const Forwarder *stale = nullptr;
    int fresh = -1;
    for (const Forwarder &f : all) {
        if (f.start_ticks > g_watch.written)
            fresh = f.pid;
        else if (!stale)
            stale = &f;
    }
    if (!stale) {
        if (fresh > 0) {
            g_watch.active = false;
            g_watch.requested_pid = -1;
            log_line("%s %d runs the current global_conf.json", kForwarder, fresh);
            // The restart renewed the lease: the live settings follow once
            // it has settled.
            probe_later(now_ns);
        } else if (now_ns - g_watch.requested_ns >= kRequestPatienceNs) {
            g_watch.active = false;
            log_line("no %s has started since the restart request; is the respawner running?",
                     kForwarder);
        }
        return;
    }
    if (stale->pid == g_watch.requested_pid && now_ns - g_watch.requested_ns < kRequestPatienceNs)
        return;  // the respawner is on it
    post_for(stale->pid, g_watch.networkmode);
}

void probe_later(uint64_t now_ns) {
    g_watch.probing = true;
    g_watch.probe_base_ns = now_ns;
    g_watch.probes_done = 0;
}

int restart_poll_timeout_ms(int idle_ms) {
    return g_watch.active || g_watch.probing ? std::min(idle_ms, 250) : idle_ms;
}

}  // namespace gwcfgd
