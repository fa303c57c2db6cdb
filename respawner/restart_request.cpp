// restart_request.cpp - writing and reading the restart request's text.
#include "restart_request.h"

#include <sys/msg.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

namespace respawn {

int OpenQueue(std::string *error) {
    const key_t key = ftok(kKeyPath, kProjectId);
    if (key == -1) {
        const int err = errno;
        if (error)
            *error = std::string("no queue key from ") + kKeyPath + " (" + strerror(err) + ")";
        errno = err;
        return -1;
    }
    const int queue = msgget(key, kQueueFlags);
    if (queue == -1) {
        const int err = errno;
        if (error)
            *error = std::string("cannot open the queue of ") + kKeyPath + " (" + strerror(err) +
                     (err == EACCES ? "; it belongs to another account: remove it with ipcrm -Q "
                                      "and start the respawner again"
                                    : "") +
                     ")";
        errno = err;
        return -1;
    }
    msqid_ds info{};
    if (msgctl(queue, IPC_STAT, &info) != 0) {
        const int err = errno;
        if (error) *error = std::string("cannot examine the queue (") + strerror(err) + ")";
        errno = err;
        return -1;
    }
    if (info.msg_perm.uid != geteuid()) {
        if (error)
            *error = "the queue of " + std::string(kKeyPath) + " (id " + std::to_string(queue) +
                     ") belongs to uid " + std::to_string(info.msg_perm.uid) +
                     ", not to this account: remove it with ipcrm -q " + std::to_string(queue);
        errno = EPERM;
        return -1;
    }
    if ((info.msg_perm.mode & 0777) != kQueueMode) {
        info.msg_perm.mode = static_cast<decltype(info.msg_perm.mode)>(
            (info.msg_perm.mode & ~0777u) | static_cast<unsigned>(kQueueMode));
        if (msgctl(queue, IPC_SET, &info) != 0) {
            const int err = errno;
            if (error)
                *error = std::string("cannot set the queue's mode to 0620 (") + strerror(err) + ")";
            errno = err;
            return -1;
        }
    }
    return queue;
}

int FormatRequest(const char *mode, pid_t pid, char *out, std::size_t size) {
    if (pid <= 0 || strchr(mode, ':') != nullptr) return -1;
    const int n = snprintf(out, size, "%s:%ld", mode, static_cast<long>(pid));
    if (n < 0 || static_cast<std::size_t>(n) >= size || static_cast<std::size_t>(n) > kMaxText)
        return -1;
    return n;
}

ParseStatus ParseRequest(const std::string &text, Request *out, std::string *bad_token) {
    std::string::size_type colon = text.find(':');
    if (colon == std::string::npos) return ParseStatus::NoColon;
    std::string::size_type end = text.find(':', colon + 1);
    std::string token =
        text.substr(colon + 1, end == std::string::npos ? std::string::npos : end - colon - 1);
    // The blanks isspace() knows, in the C locale.
    auto blank = [](char c) {
        return c == ' ' || (c >= '\t' && c <= '\r');
    };
    std::string::size_type i = 0;
    while (i < token.size() && blank(token[i]))
        ++i;
    if (i < token.size() && token[i] == '+') ++i;
    const std::string::size_type digits = i;
    long long value = 0;
    bool ok = true;
    for (; i < token.size() && token[i] >= '0' && token[i] <= '9'; ++i) {
        value = value * 10 + (token[i] - '0');
        if (value > std::numeric_limits<pid_t>::max()) {
            ok = false;
            break;
        }
    }
    ok = ok && i > digits;
    while (ok && i < token.size() && blank(token[i]))
        ++i;
    ok = ok && i == token.size();
    if (!ok || value == 0) {
        if (bad_token) *bad_token = token;
        return ParseStatus::BadPid;
    }
    out->mode = text.substr(0, colon);
    out->pid = static_cast<pid_t>(value);
    return ParseStatus::Ok;
}

}  // namespace respawn
