// restart_request.cpp - writing and reading the restart request's text.
#include "restart_request.h"

#include <cstdio>
#include <cstring>
#include <limits>

namespace respawn {

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
