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
// The options are for tests: other files than /etc/dhcpcd.conf and the
// date that sets the clock, a directory that stands for / where the network
// stack is looked for (root_helper.h, find_stack), the PATH on which the
// stack's commands (dhcpcd, nmcli, systemctl) are found. The date text is
// read by the system's date (date -d TEXT +%s) whatever --date says: that
// reading is what the clock floor is checked against and what the clock is
// set to (date -s @N).
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

#ifndef GWAGENT_BUILD_TIME
#error "GWAGENT_BUILD_TIME (the clock floor) is defined by helper/CMakeLists.txt"
#endif

namespace {

constexpr int kReadTimeoutMs = 5000;

// The clock floor: no time before the build is set (as the handler's
// TimeSync check has it).
constexpr int64_t kClockFloor = GWAGENT_BUILD_TIME;

std::string system_date() {
    return access("/usr/bin/date", X_OK) == 0 ? "/usr/bin/date" : "/bin/date";
}

struct Paths {
    std::string dhcpcd_conf = "/etc/dhcpcd.conf";
    std::string date = system_date();       // sets the clock
    std::string read_date = system_date();  // reads the time text
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

// Runs date with args (no shell), in the one locale and zone both of its
// runs use; its complaints go to the caller (fd 1), its output to *out
// (at most 256 bytes) when out is not null, else nowhere.
bool run_date(const std::string &path, const std::vector<std::string> &args, std::string *out,
              std::string *why) {
    int pipe_fds[2] = {-1, -1};
    if (out && pipe2(pipe_fds, O_CLOEXEC) != 0) {
        *why = std::string("pipe: ") + strerror(errno);
        return false;
    }
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) {
        *why = std::string("fork: ") + strerror(errno);
        if (out) {
            close(pipe_fds[0]);
            close(pipe_fds[1]);
        }
        return false;
    }
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null < 0 || dup2(null, 0) < 0 || dup2(1, 2) < 0 ||
            dup2(out ? pipe_fds[1] : null, 1) < 0)
            _exit(127);
        std::vector<const char *> argv = {"date"};
        for (const std::string &a : args)
            argv.push_back(a.c_str());
        argv.push_back(nullptr);
        const char *envp[] = {"PATH=/usr/bin:/bin", "LANG=C", nullptr};
        execve(path.c_str(), const_cast<char **>(argv.data()), const_cast<char **>(envp));
        _exit(127);
    }
    if (out) {
        close(pipe_fds[1]);
        char buf[257];
        size_t got = 0;
        for (ssize_t n;
             got < sizeof buf && ((n = read(pipe_fds[0], buf + got, sizeof buf - got)) > 0 ||
                                  (n < 0 && errno == EINTR));)
            got += n > 0 ? static_cast<size_t>(n) : 0;
        close(pipe_fds[0]);
        out->assign(buf, got);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) {
            *why = std::string("waitpid: ") + strerror(errno);
            return false;
        }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    *why = path + " exited with status " +
           std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    return false;
}

// "20261207 09:05:03 UTC"
std::string utc_text(int64_t seconds) {
    const time_t t = static_cast<time_t>(seconds);
    struct tm utc {};
    char text[64] = "?";
    if (gmtime_r(&t, &utc)) strftime(text, sizeof text, "%Y%m%d %H:%M:%S UTC", &utc);
    return text;
}

// The time text in seconds, as date reads it (date -d TEXT +%s), and only
// when it is not before the clock floor: what date -s would set, read once.
// False with *why (and *refused when the text, not the helper, is at fault).
bool read_time_text(const Paths &paths, const std::string &text, int64_t *seconds, bool *refused,
                    std::string *why) {
    std::string out;
    *refused = true;
    if (!run_date(paths.read_date, {"-d", text, "+%s"}, &out, why)) {
        *why = "date cannot read \"" + gwhelper::printable(text) + "\" (" + *why + ")";
        return false;
    }
    if (!out.empty() && out.back() == '\n') out.pop_back();
    const bool negative = !out.empty() && out[0] == '-';
    const std::string digits = out.substr(negative ? 1 : 0);
    if (digits.empty() || digits.size() > 18 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
        *refused = false;
        *why = "date -d gave \"" + gwhelper::printable(out) + "\", not a number of seconds";
        return false;
    }
    *seconds = (negative ? -1 : 1) * std::stoll(digits);
    if (*seconds < kClockFloor) {
        *why = "\"" + gwhelper::printable(text) + "\" is " + utc_text(*seconds) +
               ", before this program was built (" + utc_text(kClockFloor) + ")";
        return false;
    }
    return true;
}

// date -s @SECONDS, with no shell: the reading checked, not the text again.
bool set_clock(const Paths &paths, int64_t seconds, std::string *why) {
    return run_date(paths.date, {"-s", "@" + std::to_string(seconds)}, nullptr, why);
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
        case gwhelper::Duty::SetClock: {
            int64_t seconds = 0;
            bool refused = false;
            if (!read_time_text(paths, request.time_text, &seconds, &refused, &why)) {
                if (!refused) break;
                fprintf(stderr, "gwagent-helper: %s for %s: refused: %s\n", shown(words).c_str(),
                        who.c_str(), why.c_str());
                answer("gwagent-helper: refused: " + why, gwhelper::kRefused);
                return 0;
            }
            ok = set_clock(paths, seconds, &why);
            break;
        }
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
