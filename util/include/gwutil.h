// gwutil.h - small helpers the project's programs share: writing all of a
// buffer, replacing a file whole, waiting on the monotonic clock, short
// formatted texts, reading numbers. Used by the root helper,
// the tools (through gw::cli for the numbers) and the codec. The agent and
// FPGA modules stay self-contained and do not use it. Internal: not
// installed. Target gw::util.
#pragma once

#include <time.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

namespace gwutil {

// ---- files ---------------------------------------------------------------

// Writes all len bytes of data to fd, again after a short write or EINTR.
// False when a write fails or writes nothing; errno then tells why (0 for a
// write of nothing).
bool write_all(int fd, const void *data, std::size_t len);
inline bool write_all(int fd, const std::string &text) {
    return write_all(fd, text.data(), text.size());
}

// Replaces the content of the file at path (a link is followed to the file
// it names) so that a crash leaves the old or the new content: a new file
// beside it (O_EXCL | O_NOFOLLOW), the old one's owner and mode, fsync,
// rename, fsync of the directory. A missing file is created with mode
// 0644. False with *error; the old file is then untouched.
bool replace_file(const std::string &path, const std::string &text, std::string *error);

// ---- time ----------------------------------------------------------------

// Milliseconds on CLOCK_MONOTONIC since start (read with clock_gettime),
// for deadlines of loops that wait in poll().
long ms_since(const timespec &start);

// ---- text ----------------------------------------------------------------

// The text printf writes for format and the arguments, cut at 255
// characters (messages and log lines, never data).
std::string printf_string(const char *format, ...) __attribute__((format(printf, 1, 2)));

// ---- numbers -------------------------------------------------------------
// Each takes the whole text as the number and writes *out only on success.

// Digits only (no sign, blank or base prefix), at most 20 of them, within
// [min, max].
bool parse_decimal(const std::string &text, uint64_t min, uint64_t max, uint64_t *out);

// The same into an unsigned or signed integer type (max must fit the type;
// a negative min takes nothing).
template <typename T>
bool parse_decimal(const std::string &text, T min, T max, T *out) {
    static_assert(std::is_integral<T>::value && sizeof(T) <= sizeof(uint64_t), "integer type");
    if constexpr (std::is_signed<T>::value)
        if (min < 0) return false;  // digits only: never negative
    uint64_t v = 0;
    if (!parse_decimal(text, static_cast<uint64_t>(min), static_cast<uint64_t>(max), &v))
        return false;
    *out = static_cast<T>(v);
    return true;
}

// An optional '-' and digits, at most 20 characters in all, within the range
// of int64_t.
bool parse_signed_decimal(const std::string &text, int64_t *out);

// A register-style number: decimal with an optional leading '-' (magnitude
// at most INT64_MAX), or 0x/0X and 1..8 hexadecimal digits (at most
// 0xFFFFFFFF).
bool parse_integer(const std::string &text, long long *out);

// A dotted IPv4 address, four decimal octets of at most three digits each,
// no leading zero (so nothing reads like octal); *out in host order.
bool parse_ipv4(const std::string &text, uint32_t *out);

// What makes fixed IPv4 settings unusable, as gwcfgd refuses them and the
// root helper refuses them again.
enum class FixedFault {
    None,
    NoAddress,           // the address is 0.0.0.0
    NotANetmask,         // not ones then zeros, or no one at all
    NetworkOrBroadcast,  // the subnet's network or broadcast address (below /31)
    GatewayOutside,      // a gateway that is not another address of the subnet
};

// The first fault of address/netmask/gateway (host order; gateway 0: none),
// or FixedFault::None when they can work.
FixedFault check_fixed_ipv4(uint32_t address, uint32_t netmask, uint32_t gateway);

}  // namespace gwutil
