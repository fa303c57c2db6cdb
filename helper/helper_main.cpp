// gwagent-helper: the root side of the agent's root helper (root_helper.h).
// systemd starts it as root for one connection on the helper's socket
// (gwagent-helper@.service, StandardInput=socket, StandardOutput=socket):
// it reads one request, checks it against the table of commands, does it,
// answers, logs one line to standard error and exits 0 (a refused or failed
// request is the caller's news, not a failed unit).
//
//   gwagent-helper [--dhcpcd-conf PATH] [--date PATH] | --help | --version
//
// The options name other files than /etc/dhcpcd.conf and date, for tests.
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

namespace {

constexpr int kReadTimeoutMs = 5000;

struct Paths {
    std::string dhcpcd_conf = "/etc/dhcpcd.conf";
    std::string date = access("/usr/bin/date", X_OK) == 0 ? "/usr/bin/date" : "/bin/date";
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

// date -s TEXT, with no shell; its complaints go to the caller.
bool set_clock(const Paths &paths, const std::string &text, std::string *why) {
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
        const char *argv[] = {"date", "-s", text.c_str(), nullptr};
        const char *envp[] = {"PATH=/usr/bin:/bin", "LANG=C", nullptr};
        execve(paths.date.c_str(), const_cast<char **>(argv), const_cast<char **>(envp));
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) {
            *why = std::string("waitpid: ") + strerror(errno);
            return false;
        }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    *why = paths.date + " exited with status " +
           std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    return false;
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
        if ((opt == "--dhcpcd-conf" || opt == "--date") && i + 1 < argc) {
            (opt == "--date" ? paths.date : paths.dhcpcd_conf) = argv[++i];
        } else if (opt == "--version" && argc == 2) {
            fputs(gwcli::version_line("gwagent-helper").c_str(), stdout);
            return gwcli::kExitOk;
        } else {
            fprintf(opt == "--help" ? stdout : stderr,
                    "usage: gwagent-helper [--dhcpcd-conf PATH] [--date PATH]\n"
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
    switch (request.duty) {
        case gwhelper::Duty::SetClock:
            ok = set_clock(paths, request.time_text, &why);
            break;
        case gwhelper::Duty::SetFixedAddress:
            ok = set_fixed(paths, &request.fixed, &why);
            break;
        case gwhelper::Duty::ClearFixedAddress:
            ok = set_fixed(paths, nullptr, &why);
            break;
    }
    if (ok) {
        fprintf(stderr, "gwagent-helper: %s for %s: done\n", shown(words).c_str(), who.c_str());
        answer("", gwhelper::kDone);
    } else {
        fprintf(stderr, "gwagent-helper: %s for %s: failed: %s\n", shown(words).c_str(),
                who.c_str(), why.c_str());
        answer("gwagent-helper: " + shown(words) + " failed: " + why, gwhelper::kFailed);
    }
    return 0;
}
