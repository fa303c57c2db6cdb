// Fuzz harness: the restart service's request receiving and parsing. Each
// input is a script of what the message queue holds, events separated by
// the byte 0x1E: an event that starts with 0x1F is a failed msgrcv (the
// byte after it picks the errno), any other event is a message of type 1
// whose text is the event's bytes (any length, any bytes). The harness
// runs respawn::NextRequest and respawn::HandleRequest over the script with
// RespawnOps that record every call and never reach the system, and checks
// against the request format:
//   - every message of at most 50 bytes is received, in order, as its text
//     up to a NUL; a longer one is dropped with its log line;
//   - the queue is obtained again after it was removed (EIDRM, EINVAL) and
//     never used after that;
//   - a request "<mode>:<pid>[:...]" whose pid is a decimal number
//     1..2147483647 (blanks around the digits and one '+' before them
//     allowed) gives exactly SIGQUIT to that pid, the two dhcpcd commands,
//     the change to the forwarder's directory and the launch, in that
//     order, when the pid is a running basic_pkt_fwd; anything else gives
//     no signal and no command;
//   - every log line is printable ASCII.
// Every pid is a running basic_pkt_fwd except those whose last digit is 7
// (another program) or 3 (gone).

#include "respawn_core.h"

#include <sys/ipc.h>
#include <sys/msg.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kSeparator = '\x1e';
const char kFailure = '\x1f';
const int kErrnos[] = {EINTR, EIDRM, EINVAL, EACCES, EFAULT, ENOMEM};

[[noreturn]] void Fault(const char *what, const std::string &detail = "") {
    fprintf(stderr, "respawn_fuzz: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    abort();
}

struct Event {
    int err;  // 0: a message
    std::string text;
};

struct Fake {
    std::vector<Event> events;
    size_t next = 0;       // the event the next receive sees
    int queue = -1;        // the queue id open_queue last handed out
    bool removed = false;  // the queue was reported removed
    int next_id = 7;
    int receives = 0;
    std::vector<std::string> calls;  // kill, shell, chdir in order
    std::vector<std::string> lines;  // printed

    respawn::RespawnOps Ops() {
        respawn::RespawnOps o;
        o.print = [this](const std::string &line) {
            if (line.empty() || line.back() != '\n') Fault("a log line without its newline", line);
            for (size_t i = 0; i + 1 < line.size(); ++i)
                if (line[i] < 0x20 || line[i] > 0x7e)
                    Fault("a log line with a byte that is not printable ASCII", line);
            lines.push_back(line);
        };
        o.process = [](pid_t pid, std::string *name, char *state) {
            if (pid % 10 == 3) {
                errno = ENOENT;
                return -1;
            }
            *name = pid % 10 == 7 ? "sleep" : "basic_pkt_fwd";
            *state = 'S';
            return 0;
        };
        o.kill = [this](pid_t pid, int sig) {
            calls.push_back("kill " + std::to_string(pid) + " " + std::to_string(sig));
            return 0;
        };
        o.shell = [this](const char *command) {
            calls.push_back(std::string("sh ") + command);
            return 0;
        };
        o.wait_gone = [](pid_t, unsigned) {
            return true;
        };
        o.forwarder_runs = []() {
            return false;
        };
        o.launch = [this](const char *command) {
            calls.push_back(std::string("launch ") + command);
            return 4242;
        };
        o.sleep = [](unsigned) {};
        o.chdir = [this](const char *dir) {
            calls.push_back(std::string("cd ") + dir);
            return 0;
        };
        o.open_queue = [this]() {
            queue = next_id++;
            removed = false;
            return queue;
        };
        o.receive = [this](int q, void *area, std::size_t size, long type, int flags) {
            return Receive(q, area, size, type, flags);
        };
        return o;
    }

    // msgrcv on the scripted queue.
    ssize_t Receive(int q, void *area, std::size_t size, long type, int flags) {
        if (++receives > 4 * static_cast<int>(events.size()) + 8) Fault("the receive loop spins");
        if (q != queue || removed) Fault("received from a queue that is not the one obtained");
        if (type != respawn::kRequestType) Fault("received another message type");
        if (size > sizeof(respawn::RecvArea::mtext) - 1)
            Fault("the receive may fill the text area without a terminator");
        if (next >= events.size()) {
            if (flags & IPC_NOWAIT) {
                errno = ENOMSG;
                return -1;
            }
            Fault(
                "a blocking receive on an empty queue (the harness only asks when a request is due)");
        }
        const Event &e = events[next];
        if (e.err) {
            ++next;
            if (e.err == EIDRM || e.err == EINVAL) removed = true;
            errno = e.err;
            return -1;
        }
        if (e.text.size() > size && !(flags & MSG_NOERROR)) {
            errno = E2BIG;  // the kernel keeps the message
            return -1;
        }
        ++next;
        const size_t n = e.text.size() < size ? e.text.size() : size;
        auto *msg = static_cast<respawn::RecvArea *>(area);
        msg->mtype = type;
        memcpy(msg->mtext, e.text.data(), n);
        return static_cast<ssize_t>(n);
    }
};

// The pid of a well-formed request, 0 for a malformed one.
pid_t ExpectedPid(const std::string &text) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return 0;
    std::string digits = text.substr(colon + 1);
    digits = digits.substr(0, digits.find(':'));
    const char *blanks = " \t\n\v\f\r";
    digits.erase(0, digits.find_first_not_of(blanks) == std::string::npos
                        ? digits.size()
                        : digits.find_first_not_of(blanks));
    const size_t last = digits.find_last_not_of(blanks);
    digits.erase(last == std::string::npos ? 0 : last + 1);
    if (!digits.empty() && digits[0] == '+') digits.erase(0, 1);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
    digits.erase(0, digits.find_first_not_of('0'));  // all zeros: empty
    if (digits.empty() || digits.size() > 10 || (digits.size() == 10 && digits > "2147483647"))
        return 0;
    return static_cast<pid_t>(std::stoll(digits));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Fake fake;
    const std::string input(reinterpret_cast<const char *>(data), size);
    for (size_t start = 0;;) {
        const size_t end = input.find(kSeparator, start);
        std::string part = input.substr(start, end == std::string::npos ? end : end - start);
        if (!part.empty() && part[0] == kFailure) {
            const unsigned pick = part.size() > 1 ? static_cast<unsigned char>(part[1]) : 0;
            fake.events.push_back({kErrnos[pick % (sizeof kErrnos / sizeof kErrnos[0])], ""});
        } else {
            fake.events.push_back({0, part});
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }

    const respawn::RespawnOps ops = fake.Ops();
    int queue = -1;
    size_t dropped = 0;
    for (size_t i = 0; i < fake.events.size(); ++i) {
        const Event &e = fake.events[i];
        if (e.err) continue;
        if (e.text.size() > respawn::kMaxText) {
            ++dropped;
            continue;
        }
        // A request is due: everything before it is consumed on the way.
        const std::string want = e.text.substr(0, e.text.find('\0'));
        fake.lines.clear();
        fake.calls.clear();
        const std::string got = respawn::NextRequest(ops, &queue);
        if (fake.next != i + 1) Fault("the receive did not stop at the next request");
        if (got != want) Fault("received another text than the message's", got);
        size_t drop_lines = 0;
        for (const std::string &line : fake.lines)
            drop_lines += line.find("longer than 50 bytes") != std::string::npos;
        if (drop_lines != dropped) Fault("an oversized message was not reported once");
        dropped = 0;

        fake.lines.clear();
        const bool launched = respawn::HandleRequest(ops, got);
        if (fake.lines.empty() ||
            fake.lines[0] != "from respawner: " + respawn::Printable(got) + "\n")
            Fault("the request line is missing");
        pid_t pid = ExpectedPid(got);
        if (pid % 10 == 7) pid = 0;  // another program: left alone
        std::vector<std::string> want_calls;
        if (pid > 0) {
            // A process that is gone while no forwarder runs: one is started.
            if (pid % 10 != 3)
                want_calls.push_back("kill " + std::to_string(pid) + " " + std::to_string(SIGQUIT));
            want_calls.push_back(std::string("sh ") + respawn::kDhcpRelease);
            want_calls.push_back(std::string("sh ") + respawn::kDhcpRebind);
            want_calls.push_back(std::string("cd ") + respawn::kForwarderDir);
            want_calls.push_back(std::string("launch ") + respawn::kForwarderLaunch);
        }
        if (fake.calls != want_calls || launched != (pid > 0))
            Fault("the restart sequence does not match the request", got);
    }
    return 0;
}
