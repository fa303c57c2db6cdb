// cli.h - what the project's programs share on their command lines: exit
// statuses, number parsing and the version line. Header only; target
// gw::cli (tools/CMakeLists.txt), which also defines GW_VERSION.
//
// Every program (gwcfg, fpgactl, gwcfgd, respawner) exits with
//   0  done
//   1  the work failed: a device or gateway did not answer, refused, or a
//      transfer failed
//   2  refused input: unknown command or option, a bad value; nothing was
//      done
// and answers --version with one line, "PROGRAM VERSION".
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <type_traits>

#ifndef GW_VERSION
#error "GW_VERSION is defined by the gw::cli target"
#endif

namespace gwcli {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr const char kVersion[] = GW_VERSION;

// "gwcfg 0.1.0\n": what --version prints.
inline std::string version_line(const char *program) { return std::string(program) + " " + kVersion + "\n"; }

// A decimal number written with digits only (no sign, blank or base prefix)
// within [min, max]. *out is written only on success.
inline bool parse_decimal(const std::string &text, uint64_t min, uint64_t max, uint64_t *out) {
    if (text.empty() || text.size() > 20) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (errno != 0 || v < min || v > max) return false;
    *out = v;
    return true;
}

// The same into an int or a long (max must fit the type).
template <typename T>
bool parse_decimal(const std::string &text, T min, T max, T *out) {
    static_assert(sizeof(T) <= sizeof(uint64_t), "integer type");
    if constexpr (std::is_signed<T>::value)
        if (min < 0) return false;  // digits only: never negative
    uint64_t v = 0;
    if (!parse_decimal(text, static_cast<uint64_t>(min), static_cast<uint64_t>(max), &v)) return false;
    *out = static_cast<T>(v);
    return true;
}

// A register-style number: decimal with an optional leading '-', or 0x/0X
// and 1..8 hexadecimal digits (at most 0xFFFFFFFF). The whole text must be
// the number. *out is written only on success.
inline bool parse_integer(const std::string &text, long long *out) {
    const char *s = text.c_str();
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        const std::string digits = text.substr(2);
        if (digits.empty() || digits.size() > 8) return false;
        for (char c : digits)
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
        *out = static_cast<long long>(std::strtoull(digits.c_str(), nullptr, 16));
        return true;
    }
    const bool negative = s[0] == '-';
    uint64_t magnitude = 0;
    if (!parse_decimal(text.substr(negative ? 1 : 0), uint64_t{0}, uint64_t{9223372036854775807ull}, &magnitude))
        return false;
    *out = negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
    return true;
}

}  // namespace gwcli
