// gwutil.cpp - writing all of a buffer, replacing a file whole, short
// formatted texts, numbers.
#include "gwutil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>

namespace gwutil {

bool write_all(int fd, const void *data, std::size_t len) {
    const char *p = static_cast<const char *>(data);
    while (len > 0) {
        const ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = 0;
            return false;
        }
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

bool replace_file(const std::string &path, const std::string &text, std::string *error) {
    std::string target = path;
    if (char *real = realpath(path.c_str(), nullptr)) {
        target = real;
        free(real);
    }
    struct stat old {};
    const bool had_old = stat(target.c_str(), &old) == 0;
    if (had_old && !S_ISREG(old.st_mode)) {
        *error = target + " is not a regular file";
        return false;
    }
    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : target.substr(0, slash);
    const std::string temp = dir + "/." + target.substr(slash + 1) + ".gwagent." +
                             std::to_string(getpid());
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = "cannot create " + temp + ": " + strerror(errno);
        return false;
    }
    bool ok = true;
    std::string what = "write";
    if (had_old) {
        // Another owner stays only where this process may give the file away.
        if (fchown(fd, old.st_uid, old.st_gid) != 0 && errno != EPERM) ok = false, what = "chown";
        ok = ok && fchmod(fd, old.st_mode & 07777) == 0;
    } else {
        ok = fchmod(fd, 0644) == 0;
    }
    ok = ok && write_all(fd, text) && fsync(fd) == 0;
    const int err = errno;
    ok = close(fd) == 0 && ok;
    if (!ok) {
        *error = "cannot " + what + " " + temp + ": " + strerror(err);
        unlink(temp.c_str());
        return false;
    }
    if (rename(temp.c_str(), target.c_str()) != 0) {
        *error = "cannot rename " + temp + " to " + target + ": " + strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        (void)fsync(dfd);  // the rename has happened; some file systems cannot
        close(dfd);
    }
    return true;
}

long ms_since(const timespec &start) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}

std::string printf_string(const char *format, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, format);
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    return buf;
}

bool parse_decimal(const std::string &text, uint64_t min, uint64_t max, uint64_t *out) {
    if (text.empty() || text.size() > 20) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (errno != 0 || v < min || v > max) return false;
    *out = v;
    return true;
}

bool parse_signed_decimal(const std::string &text, int64_t *out) {
    if (text.empty() || text.size() > 20) return false;
    const size_t i = (text[0] == '-') ? 1 : 0;
    if (i == text.size()) return false;
    for (size_t j = i; j < text.size(); ++j)
        if (text[j] < '0' || text[j] > '9') return false;
    errno = 0;
    char *end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno == ERANGE || *end != 0) return false;
    *out = v;
    return true;
}

bool parse_integer(const std::string &text, long long *out) {
    const char *s = text.c_str();
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        const std::string digits = text.substr(2);
        if (digits.empty() || digits.size() > 8) return false;
        for (char c : digits)
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
                return false;
        *out = static_cast<long long>(std::strtoull(digits.c_str(), nullptr, 16));
        return true;
    }
    const bool negative = s[0] == '-';
    uint64_t magnitude = 0;
    if (!parse_decimal(text.substr(negative ? 1 : 0), uint64_t{0}, uint64_t{LLONG_MAX}, &magnitude))
        return false;
    *out = negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
    return true;
}

bool parse_ipv4(const std::string &text, uint32_t *out) {
    uint32_t addr = 0;
    size_t i = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (i >= text.size() || text[i] != '.') return false;
            ++i;
        }
        const size_t start = i;
        unsigned v = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3) {
            v = v * 10 + static_cast<unsigned>(text[i] - '0');
            ++i;
        }
        const size_t digits = i - start;
        if (digits == 0 || v > 255) return false;
        if (digits > 1 && text[start] == '0') return false;  // no octal look-alikes
        addr = (addr << 8) | v;
    }
    if (i != text.size()) return false;
    *out = addr;
    return true;
}

FixedFault check_fixed_ipv4(uint32_t address, uint32_t netmask, uint32_t gateway) {
    if (address == 0) return FixedFault::NoAddress;
    if (netmask == 0 || (~netmask & (~netmask + 1)) != 0) return FixedFault::NotANetmask;
    if (netmask < 0xFFFFFFFEu && ((address & ~netmask) == 0 || (address & ~netmask) == ~netmask))
        return FixedFault::NetworkOrBroadcast;
    if (gateway != 0 && ((gateway & netmask) != (address & netmask) || gateway == address))
        return FixedFault::GatewayOutside;
    return FixedFault::None;
}

}  // namespace gwutil
