#include "respawn_core.h"

#include "gwutil.h"

#include <sys/ipc.h>
#include <sys/msg.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace respawn {
namespace {

using gwutil::printf_string;

// After msgrcv refused a message as too long: takes that message off the
// queue so that it cannot block every later request. The receive allows one
// byte more than a request may have, so a truncated (oversized) message and a
// normal request that reached the head of the queue in the meantime are told
// apart. Returns true with *text set when it was the latter.
bool DropOversized(const RespawnOps &ops, int queue, std::string *text) {
    RecvArea area;
    memset(&area, 0, sizeof area);
    ssize_t n = ops.receive(queue, &area, kMaxText + 1, kRequestType, MSG_NOERROR | IPC_NOWAIT);
    if (n > static_cast<ssize_t>(kMaxText)) {
        ops.print(printf_string("malformed request (longer than %zu bytes), dropped\n", kMaxText));
        return false;
    }
    if (n >= 0) {
        *text = area.mtext;
        return true;
    }
    // Gone already (ENOMSG) or the queue failed: the next receive tells.
    return false;
}

// The lease of eth0: the given dhcpcd commands where dhcpcd runs for eth0
// alone, the network stack's own renewal elsewhere.
void RenewLease(const RespawnOps &ops) {
    const std::string other = ops.renew_command ? ops.renew_command() : "";
    if (!other.empty()) {
        if (ops.shell(other.c_str()) != 0)
            ops.print("renewing the lease of eth0 failed (" + other +
                      "); journalctl -u 'gwagent-helper@*' says why\n");
        return;
    }
    ops.shell(kDhcpRelease);
    ops.sleep(kRenewPause);
    ops.shell(kDhcpRebind);
}

// Launches the forwarder, but only once the one stopped (pid, 0 for none)
// has ended and no other runs or is being launched.
bool LaunchAlone(const RespawnOps &ops, pid_t stopped) {
    if (stopped > 0 && ops.wait_gone && !ops.wait_gone(stopped, kStopWaitMs)) {
        ops.print(printf_string("%s %d still runs %u s after SIGQUIT; no other launched\n",
                                kForwarderName, static_cast<int>(stopped), kStopWaitMs / 1000));
        return false;
    }
    if (!ops.forwarder_runs || ops.forwarder_runs()) {
        ops.print(printf_string("another %s runs or is being launched; no other launched\n",
                                kForwarderName));
        return false;
    }
    if (ops.launch(kForwarderLaunch) < 0) {
        const int err = errno;
        ops.print(printf_string("cannot launch %s: %s\n", kForwarderName, strerror(err)));
        return false;
    }
    return true;
}

}  // namespace

std::string Printable(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c >= 0x20 && c <= 0x7e) {
            out += static_cast<char>(c);
        } else {
            char esc[5];
            snprintf(esc, sizeof esc, "\\x%02x", c);
            out += esc;
        }
    }
    return out;
}

bool HandleRequest(const RespawnOps &ops, const std::string &text) {
    ops.print("from respawner: " + Printable(text) + "\n");

    Request req;
    std::string bad;
    switch (ParseRequest(text, &req, &bad)) {
        case ParseStatus::NoColon:
            ops.print("malformed request (no colon), ignored\n");
            return false;
        case ParseStatus::BadPid:
            ops.print("malformed request (bad pid \"" + Printable(bad) + "\"), ignored\n");
            return false;
        case ParseStatus::Ok:
            break;
    }
    ops.print(printf_string("pid:%d\n", static_cast<int>(req.pid)));
    ops.print("rev_msg:" + Printable(req.mode) + "\n");

    // Only a forwarder is stopped: the queue is open to every local account,
    // and a request must not be able to stop anything else.
    std::string name;
    char state = '?';
    const bool found = ops.process(req.pid, &name, &state) == 0;
    const int err = errno;
    // A request for a process that is gone while no forwarder runs at all
    // (one that exited at start, say) starts one: nothing to stop, and no
    // second forwarder to fear.
    const bool gone = found ? name == kForwarderName && (state == 'Z' || state == 'X')
                            : err == ENOENT || err == ESRCH;
    bool signalled = false;
    if (gone && ops.forwarder_runs && !ops.forwarder_runs()) {
        ops.print(printf_string("no %s runs (process %d is gone); starting one\n", kForwarderName,
                                static_cast<int>(req.pid)));
    } else {
        if (!found) {
            ops.print(printf_string("no process %d to stop (%s); nothing restarted\n",
                                    static_cast<int>(req.pid), strerror(err)));
            return false;
        }
        if (name != kForwarderName) {
            ops.print(printf_string("process %d is \"%s\", not %s; nothing restarted\n",
                                    static_cast<int>(req.pid), Printable(name).c_str(),
                                    kForwarderName));
            return false;
        }
        if (state == 'Z' || state == 'X') {
            ops.print(printf_string("%s %d has already ended; nothing restarted\n", kForwarderName,
                                    static_cast<int>(req.pid)));
            return false;
        }
        if (ops.kill(req.pid, SIGQUIT) != 0) {
            int kill_err = errno;
            ops.print(printf_string("cannot stop %s %d: %s; nothing restarted\n", kForwarderName,
                                    static_cast<int>(req.pid), strerror(kill_err)));
            return false;
        }
        signalled = true;
    }
    RenewLease(ops);
    // "./basic_pkt_fwd" only means the forwarder from its own directory.
    if (ops.chdir(kForwarderDir) != 0) {
        int err = errno;
        ops.print(printf_string("cannot change to %s: %s; basic_pkt_fwd not launched\n",
                                kForwarderDir, strerror(err)));
        return false;
    }
    if (!LaunchAlone(ops, signalled ? req.pid : 0)) return false;
    ops.print("OK to restart basic_pkt_fwd service....\n");
    return true;
}

std::string NextRequest(const RespawnOps &ops, int *queue) {
    int gone = -1;  // the queue id last reported removed
    for (;;) {
        if (*queue < 0) {
            int q = ops.open_queue();
            if (q < 0) {
                int err = errno;
                ops.print(printf_string("cannot obtain the message queue of %s: %s; retrying\n",
                                        kKeyPath, strerror(err)));
                ops.sleep(kRetryPause);
                continue;
            }
            // Handed back the very queue that was just reported removed:
            // pause, so that a queue the kernel keeps refusing cannot make
            // the loop spin.
            if (q == gone) ops.sleep(kRetryPause);
            *queue = q;
        }

        RecvArea area;
        memset(&area, 0, sizeof area);
        ssize_t n = ops.receive(*queue, &area, kMaxText, kRequestType, 0);
        if (n >= 0) return area.mtext;  // the cleared area terminates the text

        int err = errno;
        switch (err) {
            case EINTR:
                break;
            case EIDRM:
            case EINVAL:
                ops.print(printf_string("msgrcv: %s; obtaining the queue again\n", strerror(err)));
                gone = *queue;
                *queue = -1;
                break;
            case E2BIG: {
                std::string text;
                if (DropOversized(ops, *queue, &text)) return text;
                break;
            }
            default:
                ops.print(printf_string("msgrcv: %s; retrying\n", strerror(err)));
                ops.sleep(kRetryPause);
                break;
        }
    }
}

void Serve(const RespawnOps &ops) {
    int queue = -1;
    for (;;)
        HandleRequest(ops, NextRequest(ops, &queue));
}

}  // namespace respawn
