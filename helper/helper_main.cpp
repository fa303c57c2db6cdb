// gwagent-helper: the root side of the agent's root helper (root_helper.h).
// systemd starts it as root for one connection on the helper's socket
// (gwagent-helper@.service, StandardInput=socket, StandardOutput=socket):
// it reads one request, checks it against the table of commands, does it,
// answers, logs one line to standard error and exits 0 (a refused or failed
// request is the caller's news, not a failed unit).
//
//   gwagent-helper [--dhcpcd-conf PATH] [--date PATH] [--root DIR]
//                  [--exec-path DIRS] | --help | --version
//
// The options are for tests: other files than /etc/dhcpcd.conf and date,
// a directory that stands for / where the network stack is looked for
// (root_helper.h, find_stack), the PATH on which the stack's commands
// (dhcpcd, nmcli, systemctl) are found.
#include "cli.h"
#include "gwutil.h"
#include "root_helper.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int kReadTimeoutMs = 5000;

struct Paths {
    std::string dhcpcd_conf = "/etc/dhcpcd.conf";
    std::string date = access("/usr/bin/date", X_OK) == 0 ? "/usr/bin/date" : "/bin/date";
    std::string root;
    std::string exec_path = "/usr/sbin:/usr/bin:/sbin:/bin";
};

// The request bytes from fd 0, up to EOF; more than kMaxRequest bytes or
// nothing within kReadTimeoutMs is an error.
bool read_request(std::string *out, std::string *error) {
    char buf[gwhelper::kMaxRequest + 1];
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        const long spent = gwutil::ms_since(start);
        pollfd p{0, POLLIN, 0};
        const int n =
            poll(&p, 1, static_cast<int>(kReadTimeoutMs - spent > 0 ? kReadTimeoutMs - spent : 0));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = n == 0 ? "no complete request within 5 s"
                            : std::string("poll: ") + strerror(errno);
            return false;
        }
        const ssize_t got = read(0, buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            *error = std::string("read: ") + strerror(errno);
            return false;
        }
        if (got == 0) return true;
        out->append(buf, static_cast<size_t>(got));
        if (out->size() > gwhelper::kMaxRequest) {
            *error = "the request is longer than " + std::to_string(gwhelper::kMaxRequest) +
                     " bytes";
            return false;
        }
    }
}

std::string caller() {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(0, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return "an unknown caller";
    return "pid " + std::to_string(cred.pid) + " (uid " + std::to_string(cred.uid) + ")";
}

void answer(const std::string &text, int status) {
    std::string reply = text;
    if (!reply.empty() && reply.back() != '\n') reply += '\n';
    reply += "status " + std::to_string(status) + "\n";
    // A failure means the caller is gone; the log line still says what
    // happened.
    (void)gwutil::write_all(1, reply);
}

// Runs argv with no shell (argv[0] with a '/' as it is, otherwise found on
// paths.exec_path) and waits for it; its standard output is dropped, its
// complaints go to the caller. *status is its exit status (128 + signal).
bool run(const Paths &paths, const gwhelper::Words &words, int *status, std::string *why) {
    std::vector<char *> argv;
    for (const std::string &w : words)
        argv.push_back(const_cast<char *>(w.c_str()));
    argv.push_back(nullptr);
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) {
        *why = std::string("fork: ") + strerror(errno);
        return false;
    }
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null < 0 || dup2(null, 0) < 0 || dup2(1, 2) < 0 || dup2(null, 1) < 0) _exit(127);
        clearenv();
        setenv("PATH", paths.exec_path.c_str(), 1);
        setenv("LANG", "C", 1);
        execvp(argv[0], argv.data());
        fprintf(stderr, "gwagent-helper: cannot run %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    int raw = 0;
    while (waitpid(pid, &raw, 0) < 0)
        if (errno != EINTR) {
            *why = std::string("waitpid: ") + strerror(errno);
            return false;
        }
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return true;
}

// date -s TEXT; its complaints go to the caller.
bool set_clock(const Paths &paths, const std::string &text, std::string *why) {
    int status = 0;
    if (!run(paths, {paths.date, "-s", text}, &status, why)) return false;
    if (status == 0) return true;
    *why = paths.date + " exited with status " + std::to_string(status);
    return false;
}

// The stack's commands for a duty, in order; the first that fails ends it.
bool run_steps(const Paths &paths, const std::vector<gwhelper::Step> &steps, std::string *why) {
    for (const gwhelper::Step &step : steps) {
        const gwhelper::Words *argv = &step.argv;
        int status = 0;
        if (!run(paths, *argv, &status, why)) return false;
        if (status != 0 && status == step.missing_status) {
            if (step.if_missing.empty()) continue;
            argv = &step.if_missing;
            if (!run(paths, *argv, &status, why)) return false;
        }
        if (status != 0) {
            *why = (*argv)[0] + " " + (*argv)[1] + " ... exited with status " +
                   std::to_string(status);
            return false;
        }
        if (step.pause_after) sleep(step.pause_after);
    }
    return true;
}

bool set_fixed(const Paths &paths, const gwhelper::FixedAddress *fixed, std::string *why) {
    std::string conf;
    std::ifstream in(paths.dhcpcd_conf);
    if (in) {
        std::ostringstream text;
        text << in.rdbuf();
        conf = text.str();
    } else if (errno != ENOENT) {
        *why = "cannot read " + paths.dhcpcd_conf + ": " + strerror(errno);
        return false;
    }
    const std::string next = gwhelper::with_fixed_block(conf, fixed);
    if (next == conf) return true;
    return gwutil::replace_file(paths.dhcpcd_conf, next, why);
}

// fixed-ip and network renew on the stack in use; *stack_text says which.
bool set_network(const Paths &paths, const gwhelper::Request &request, std::string *stack_text,
                 std::string *why) {
    gwhelper::NetworkStack stack;
    std::string how;
    if (!gwhelper::find_stack(paths.root, &stack, &how, why)) return false;
    *stack_text = std::string(gwhelper::stack_name(stack)) + ": " + how;
    if (request.duty != gwhelper::Duty::RenewLease && gwhelper::uses_dhcpcd_conf(stack) &&
        !set_fixed(paths,
                   request.duty == gwhelper::Duty::SetFixedAddress ? &request.fixed : nullptr, why))
        return false;
    return run_steps(paths, gwhelper::stack_steps(stack, request.duty, request.fixed), why);
}

std::string shown(const gwhelper::Words &words) {
    std::string out;
    for (const std::string &w : words)
        out += (out.empty() ? "" : " ") + gwhelper::printable(w);
    return out;
}

}  // namespace

int main(int argc, char **argv) {
    Paths paths;
    for (int i = 1; i < argc; ++i) {
        const std::string opt = argv[i];
        if (opt == "--dhcpcd-conf" && i + 1 < argc) {
            paths.dhcpcd_conf = argv[++i];
        } else if (opt == "--date" && i + 1 < argc) {
            paths.date = argv[++i];
        } else if (opt == "--root" && i + 1 < argc) {
            paths.root = argv[++i];
        } else if (opt == "--exec-path" && i + 1 < argc) {
            paths.exec_path = argv[++i];
        } else if (opt == "--version" && argc == 2) {
            fputs(gwcli::version_line("gwagent-helper").c_str(), stdout);
            return gwcli::kExitOk;
        } else {
            fprintf(opt == "--help" ? stdout : stderr,
                    "usage: gwagent-helper [--dhcpcd-conf PATH] [--date PATH] [--root DIR]\n"
                    "                      [--exec-path DIRS]\n"
                    "Started as root by gwagent-helper.socket for one request on standard\n"
                    "input (see gwagent-ask --help); not for running by hand.\n");
            return opt == "--help" ? gwcli::kExitOk : gwcli::kExitUsage;
        }
    }
    const std::string who = caller();
    std::string bytes, why;
    gwhelper::Words words;
    gwhelper::Request request;
    if (!read_request(&bytes, &why) || !gwhelper::decode_request(bytes, &words, &why) ||
        !gwhelper::check_request(words, &request, &why)) {
        fprintf(stderr, "gwagent-helper: refused for %s: %s\n", who.c_str(), why.c_str());
        answer("gwagent-helper: refused: " + why, gwhelper::kRefused);
        return 0;
    }
    bool ok = false;
    std::string stack;
    switch (request.duty) {
        case gwhelper::Duty::SetClock:
            ok = set_clock(paths, request.time_text, &why);
            break;
        case gwhelper::Duty::SetFixedAddress:
        case gwhelper::Duty::ClearFixedAddress:
        case gwhelper::Duty::RenewLease:
            ok = set_network(paths, request, &stack, &why);
            break;
        case gwhelper::Duty::ShowStack: {
            gwhelper::NetworkStack found;
            std::string how;
            ok = gwhelper::find_stack(paths.root, &found, &how, &why);
            if (ok) stack = std::string(gwhelper::stack_name(found)) + ": " + how;
            break;
        }
    }
    if (!stack.empty()) why = stack + (ok ? "" : "; " + why);
    if (ok) {
        fprintf(stderr, "gwagent-helper: %s for %s: done%s\n", shown(words).c_str(), who.c_str(),
                stack.empty() ? "" : (" (" + stack + ")").c_str());
        answer(request.duty == gwhelper::Duty::ShowStack ? "network stack " + stack : "",
               gwhelper::kDone);
    } else {
        fprintf(stderr, "gwagent-helper: %s for %s: failed: %s\n", shown(words).c_str(),
                who.c_str(), why.c_str());
        answer("gwagent-helper: " + shown(words) + " failed: " + why, gwhelper::kFailed);
    }
    return 0;
}
