// root_helper.h - the agent's root helper: the two privileged duties of the
// configuration daemon, done by a small root service on checked requests.
//
// gwcfgd runs as the unprivileged account pi under NoNewPrivileges, where
// no set-uid program (sudo) can raise its rights. What it needs root for,
// it asks of gwagent-helper, which systemd starts as root once per
// connection on kSocketPath (gwagent-helper.socket, Accept=yes; only pi
// and root may connect):
//
//   date -s TEXT                        set the clock (the handler's
//                                       TimeSync: "sudo date -s ..."): read
//                                       once by date -d TEXT +%s, refused
//                                       before the build, set as @N
//   fixed-ip set A.B.C.D/PREFIX GW|none the fixed address of eth0: a block
//   fixed-ip clear                      of static lines in dhcpcd.conf
//
// Both are what any host on the LAN may ask of the gateway through the
// configuration protocol anyway; the helper adds no other power. It checks
// every word against the table of commands, runs no shell, takes no path,
// interface or option from the caller, and writes nothing but the clock
// and its block of dhcpcd.conf.
//
// On the socket: the request is the command's words, each followed by a
// NUL byte, at most kMaxRequest bytes, ended by the client's shutdown of
// its sending side. The answer is zero or more lines of text for the
// caller's error output, then "status N\n" (0 done, 1 failed, 2 refused).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace gwhelper {

constexpr const char kSocketPath[] = "/run/gwagent/helper.sock";
constexpr size_t kMaxRequest = 512;

// Exit statuses, on the status line and of the client.
constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kRefused = 2;

using Words = std::vector<std::string>;

// The request bytes for words. False with *error when a word is empty or
// holds a NUL, or the request would exceed kMaxRequest.
bool encode_request(const Words &words, std::string *out, std::string *error);

// The words of request bytes: NUL-terminated words, nothing after the last
// NUL. False with *error otherwise (and for more than kMaxRequest bytes).
bool decode_request(const std::string &bytes, Words *out, std::string *error);

// The fixed IPv4 settings of eth0 (networkmode 1), as fixed-ip set gives
// them; gateway 0 for none.
struct FixedAddress {
    uint32_t address = 0;  // host order: 192.168.0.1 is 0xC0A80001
    int prefix = 0;        // 1..32
    uint32_t gateway = 0;
};

enum class Duty { SetClock, SetFixedAddress, ClearFixedAddress };

// A request that passed check_request.
struct Request {
    Duty duty = Duty::SetClock;
    std::string time_text;  // SetClock: the argument of date -s
    FixedAddress fixed;     // SetFixedAddress
};

// Checks words against the table of commands above. A time text is 1..64
// characters of letters, digits and " :-+/.,@" (what the handler's TimeSync
// passes), not starting with '-'. Addresses are four decimal numbers 0..255
// without leading zeros; fixed settings must pass gwcfgd's own rules
// (gwutil::check_fixed_ipv4). False with *error saying what is refused.
bool check_request(const Words &words, Request *out, std::string *error);

// The lines the helper manages at the end of dhcpcd.conf, between these two.
constexpr const char kBlockBegin[] =
    "# BEGIN gwagent fixed address (managed by gwcfgd; edits here are lost)";
constexpr const char kBlockEnd[] = "# END gwagent fixed address";

// conf without any earlier managed block and, when fixed is not null, with
// the block for it at the end:
//   interface eth0
//   static ip_address=A.B.C.D/PREFIX
//   static routers=G.G.G.G          (only with a gateway)
// The block goes last because dhcpcd applies the lines after "interface
// eth0" to eth0 only. Everything else of conf stays as it is; a missing
// final newline is added before the block.
std::string with_fixed_block(const std::string &conf, const FixedAddress *fixed);

// Text with every byte that is not printable ASCII written as \xNN, for
// log lines of bytes that came from a caller.
std::string printable(const std::string &text);

}  // namespace gwhelper
