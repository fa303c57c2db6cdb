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
//   fixed-ip set A.B.C.D/PREFIX GW|none the fixed address of eth0, in the
//   fixed-ip clear                      network stack's own terms (below)
//   network renew                       a new lease (or the fixed address)
//                                       on eth0: the respawner's renewal
//   network show                        the stack in use and how it was found
//
// All are what any host on the LAN may ask of the gateway through the
// configuration protocol anyway; the helper adds no other power. It checks
// every word against the table of commands, runs no shell, takes no path,
// interface or option from the caller, and changes nothing but the clock
// and eth0's addressing.
//
// The network stack of the image decides what fixed-ip and network renew
// do (stack_steps below): dhcpcd (for eth0 alone, or the stock unit for
// every interface) gets a block of static lines in dhcpcd.conf;
// NetworkManager a connection profile "gwagent-eth0" switched between
// ipv4.method manual and auto.
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

enum class Duty { SetClock, SetFixedAddress, ClearFixedAddress, RenewLease, ShowStack };

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

// ---- the network stack -------------------------------------------------------

enum class NetworkStack {
    DhcpcdEth0,      // dhcpcd for eth0 alone (docs/examples/dhcpcd-eth0.conf)
    DhcpcdAll,       // the stock dhcpcd unit: one dhcpcd for every interface
    NetworkManager,  // NetworkManager (Raspberry Pi OS since Bookworm)
};

// The stack's name in the setting and in messages: "dhcpcd-eth0",
// "dhcpcd", "networkmanager".
const char *stack_name(NetworkStack stack);

// Where one setting names the stack: a line GW_NETWORK_STACK=NAME (NAME
// or "auto", optionally in double quotes) in /etc/default/gwcfgd.
constexpr const char kSettingsFile[] = "/etc/default/gwcfgd";
constexpr const char kStackSetting[] = "GW_NETWORK_STACK";

// The stack in use. The setting wins unless it is missing or "auto";
// otherwise the first of these that exists under root ("" for /):
//   /run/dhcpcd/eth0.pid     dhcpcd-eth0 (a dhcpcd runs for eth0 alone)
//   /run/dhcpcd/pid          dhcpcd      (the stock unit runs)
//   /run/NetworkManager      networkmanager
// and dhcpcd-eth0 when none does. *how says which (for logs). False with
// *error when the setting names no stack.
bool find_stack(const std::string &root, NetworkStack *out, std::string *how, std::string *error);

// The NetworkManager connection profile the helper keeps for eth0.
constexpr const char kNmConnection[] = "gwagent-eth0";

// One command the helper runs for a duty: argv (argv[0] found on the
// helper's PATH), then pause_after seconds. When it exits with
// missing_status and if_missing is not empty, if_missing runs instead (an
// empty if_missing makes that status count as done).
struct Step {
    Words argv;
    Words if_missing;
    int missing_status = -1;
    unsigned pause_after = 0;
};

// Whether the stack's fixed address is a block in dhcpcd.conf
// (with_fixed_block), written before the steps run.
bool uses_dhcpcd_conf(NetworkStack stack);

// The commands for duty SetFixedAddress (fixed set), ClearFixedAddress or
// RenewLease on the stack; empty for a duty that is only the file.
std::vector<Step> stack_steps(NetworkStack stack, Duty duty, const FixedAddress &fixed);

// Text with every byte that is not printable ASCII written as \xNN, for
// log lines of bytes that came from a caller.
std::string printable(const std::string &text);

}  // namespace gwhelper
