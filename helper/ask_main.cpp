// gwagent-ask: the client of the agent's root helper (root_helper.h).
//
//   gwagent-ask date -s TEXT
//   gwagent-ask fixed-ip set A.B.C.D/PREFIX GATEWAY|none
//   gwagent-ask fixed-ip clear
//   gwagent-ask network renew|show
//
// Sends the command to the root helper and exits with its status: 0 done,
// 1 failed (or the helper could not be reached), 2 refused. What the helper
// says goes to standard error.
//
// gwcfgd's unit puts a link to it named "sudo" first on the daemon's PATH:
// the handler's TimeSync runs "sudo date -s ..." through the shell, and
// under NoNewPrivileges the real sudo cannot run. Called by that name it
// takes the same commands; nothing else (no option of sudo, no other
// command) is passed on. GWAGENT_HELPER_SOCKET names another socket than
// /run/gwagent/helper.sock (for tests).
#include "cli.h"
#include "gwutil.h"
#include "root_helper.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kAnswerTimeoutMs = 30000;

const char *program_name(const char *argv0) {
    const char *slash = strrchr(argv0, '/');
    return slash ? slash + 1 : argv0;
}

int usage(const char *name, FILE *out, int status) {
    fprintf(out,
            "usage: %s date -s TEXT\n"
            "       %s fixed-ip set A.B.C.D/PREFIX GATEWAY|none\n"
            "       %s fixed-ip clear\n"
            "       %s network renew|show\n"
            "Asks the agent's root helper (gwagent-helper.socket) to set the clock or the\n"
            "fixed address of eth0, to renew eth0's lease, or which network stack it found.\n"
            "Exit status 0 done, 1 failed, 2 refused.\n"
            "--help shows this text, --version the version.\n",
            name, name, name, name);
    return status;
}

bool send_all(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    const char *name = program_name(argv[0]);
    if (argc == 2 && strcmp(argv[1], "--help") == 0) return usage(name, stdout, 0);
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        fputs(gwcli::version_line("gwagent-ask").c_str(), stdout);
        return gwcli::kExitOk;
    }
    if (argc < 2) return usage(name, stderr, gwhelper::kRefused);

    gwhelper::Words words(argv + 1, argv + argc);
    gwhelper::Request request;
    std::string bytes, why;
    if (!gwhelper::check_request(words, &request, &why) ||
        !gwhelper::encode_request(words, &bytes, &why)) {
        fprintf(stderr, "%s: refused: %s\n", name, why.c_str());
        return gwhelper::kRefused;
    }

    const char *env = getenv("GWAGENT_HELPER_SOCKET");
    const std::string path = env && *env ? env : gwhelper::kSocketPath;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        fprintf(stderr, "%s: socket path %s is too long\n", name, path.c_str());
        return gwhelper::kFailed;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        fprintf(stderr,
                "%s: cannot reach the root helper at %s: %s; is gwagent-helper.socket running "
                "(systemctl status gwagent-helper.socket)?\n",
                name, path.c_str(), strerror(errno));
        return gwhelper::kFailed;
    }
    if (!send_all(fd, bytes) || shutdown(fd, SHUT_WR) != 0) {
        fprintf(stderr, "%s: cannot send the request to %s: %s\n", name, path.c_str(),
                strerror(errno));
        close(fd);
        return gwhelper::kFailed;
    }

    std::string reply;
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        const long spent = gwutil::ms_since(start);
        if (spent >= kAnswerTimeoutMs) {
            fprintf(stderr, "%s: no answer from the root helper within %d s\n", name,
                    kAnswerTimeoutMs / 1000);
            close(fd);
            return gwhelper::kFailed;
        }
        pollfd p{fd, POLLIN, 0};
        const int n = poll(&p, 1, static_cast<int>(kAnswerTimeoutMs - spent));
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) continue;
        char buf[1024];
        const ssize_t got = n < 0 ? -1 : read(fd, buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        reply.append(buf, static_cast<size_t>(got));
        if (reply.size() > 65536) break;
    }
    close(fd);

    // The last line is "status N"; what comes before it is for the caller.
    const size_t last = reply.size() > 1 ? reply.rfind('\n', reply.size() - 2) : std::string::npos;
    const std::string tail = reply.substr(last == std::string::npos ? 0 : last + 1);
    int status = -1;
    if (tail.size() == 9 && tail.compare(0, 7, "status ") == 0 && tail[8] == '\n' &&
        tail[7] >= '0' && tail[7] <= '2')
        status = tail[7] - '0';
    if (status < 0) {
        fprintf(stderr, "%s: the root helper gave no status for \"%s\"\n", name,
                gwhelper::printable(words[0]).c_str());
        return gwhelper::kFailed;
    }
    const std::string text = reply.substr(0, reply.size() - tail.size());
    fwrite(text.data(), 1, text.size(), stderr);
    return status;
}
