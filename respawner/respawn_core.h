// The restart service's request handling: receiving a restart request from
// the System V message queue, parsing it, and running the stop / renew /
// relaunch sequence. Every effect on the system goes through RespawnOps, so
// the program (main.cpp) passes the real system calls and the unit tests pass
// recording fakes.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>

#include "restart_request.h"

namespace respawn {

// The queue, the request text and its parsing are in restart_request.h.

constexpr const char *kForwarderDir = "/home/pi/lora0427/lora/packet_forwarder/basic_pkt_fwd";
constexpr const char *kDhcpRelease = "sudo dhcpcd -k eth0";
constexpr const char *kDhcpRebind = "sudo dhcpcd -n eth0";
// The forwarder's launch: run through "/bin/sh -c" in a child of the
// respawner that it does not wait for (the "&" of "sudo ./basic_pkt_fwd &"),
// so that the respawner knows while its launch lives.
constexpr const char *kForwarderLaunch = "sudo ./basic_pkt_fwd";
// Held (flock) by every launch for its whole life, from before sudo starts
// to the end of the forwarder: a respawner started again meanwhile sees
// that a launch is under way before the forwarder shows in /proc.
constexpr const char *kLaunchLock = "/home/pi/.basic_pkt_fwd.lock";
constexpr unsigned kStopWaitMs = 10000;                  // for a stopped forwarder to end
constexpr unsigned kRenewPause = 1;                      // seconds between the two dhcpcd commands
constexpr unsigned kRetryPause = 1;                      // seconds before retrying a failed receive
constexpr const char *kForwarderName = "basic_pkt_fwd";  // the only process signalled

// Receive area handed to msgrcv: the type word and a text area with room for
// the longest accepted text plus a terminating NUL whatever the width of long.
struct RecvArea {
    long mtype;
    char mtext[kMaxText + 2];
};

// Everything the service does to the system. The functions follow the system
// calls they stand for: on failure they return -1 and leave the cause in errno.
struct RespawnOps {
    std::function<void(const std::string &line)> print;  // one line, '\n' included
    // The name and state letter of a process as /proc/<pid>/stat gives
    // them ("basic_pkt_fwd", 'S'); -1 with errno when there is no such
    // process or it cannot be read.
    std::function<int(pid_t pid, std::string *name, char *state)> process;
    // Whether a basic_pkt_fwd runs (zombies aside) or is being launched:
    // a launch of this respawner that has not ended, the launch lock held,
    // or a basic_pkt_fwd in /proc. Not set: taken as yes, so nothing is
    // started.
    std::function<bool()> forwarder_runs;
    std::function<int(pid_t pid, int sig)> kill;
    // After a kill: whether the signalled process ended within ms.
    std::function<bool(pid_t pid, unsigned ms)> wait_gone;
    std::function<int(const char *command)> shell;
    // The command that renews eth0's lease where dhcpcd does not run for
    // eth0 alone (the stock dhcpcd unit, NetworkManager): the root
    // helper's "network renew". Empty or not set: the given dhcpcd
    // commands, "sudo dhcpcd -k eth0", a second, "sudo dhcpcd -n eth0".
    std::function<std::string()> renew_command;
    // Runs command (kForwarderLaunch) in the background from the working
    // directory, holding kLaunchLock; the launcher's pid, or -1 with errno.
    std::function<pid_t(const char *command)> launch;
    std::function<void(unsigned seconds)> sleep;
    std::function<int(const char *dir)> chdir;
    std::function<int()> open_queue;  // ftok + msgget; the queue id
    std::function<ssize_t(int queue, void *area, std::size_t text_size, long type, int flags)>
        receive;  // msgrcv
};

// The text with every byte that is not printable ASCII (0x20-0x7E) written
// as \xNN (two lower-case hexadecimal digits): what a log line shows of
// bytes that came from the queue.
std::string Printable(const std::string &text);

// Prints the request lines and, for a well-formed request that names a
// running basic_pkt_fwd, runs the sequence: SIGQUIT to the process, release
// the lease, one second, rebind (or renew_command), change to the forwarder's directory, launch
// the forwarder, confirmation line. A request that names a process that is
// gone (no such process, or a forwarder that has ended) while no
// basic_pkt_fwd runs at all runs the same sequence without the signal: the
// forwarder is started (what the configuration daemon asks for after a
// change stopped it). A malformed request, a process that is not a running
// basic_pkt_fwd (gone while a forwarder runs, a zombie, another program) and
// a kill that fails are logged, and nothing more is signalled or run: a
// relaunch would leave two forwarders running. Nor is anything launched
// while the stopped forwarder has not ended or another runs or is being
// launched (forwarder_runs): at most one forwarder, always. Returns true
// when the forwarder was launched.
bool HandleRequest(const RespawnOps &ops, const std::string &text);

// Waits for the next request of type 1 and returns its text. *queue is the
// queue id in use, -1 when none is open yet; it is (re)obtained as needed.
// Interrupted receives are retried at once, a removed queue is obtained again,
// an oversized message is dropped, any other failure is retried after a pause.
std::string NextRequest(const RespawnOps &ops, int *queue);

// The service loop: receive and handle requests forever.
[[noreturn]] void Serve(const RespawnOps &ops);

}  // namespace respawn
