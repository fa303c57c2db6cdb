// root_helper.cpp - the request format, the table of commands the root
// helper takes, the managed block of dhcpcd.conf.
#include "root_helper.h"

#include "config_protocol.h"
#include "gwutil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace gwhelper {
namespace {

// ---- words -----------------------------------------------------------------

std::string format_ipv4(uint32_t a) {
    return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 0xFF) + "." +
           std::to_string(a >> 8 & 0xFF) + "." + std::to_string(a & 0xFF);
}

// A date text as TimeSync passes it on, the same characters, at most 64 of
// them and not an option.
bool is_time_text(const std::string &text) {
    if (text.empty() || text.size() > 64 || text[0] == '-') return false;
    for (char c : text)
        if (!gwproto::is_date_char(c)) return false;
    return true;
}

// ---- the table of commands -------------------------------------------------

bool parse_date(const Words &w, Request *out, std::string *error) {
    if (w.size() != 3 || w[1] != "-s") {
        *error = "date takes exactly -s and one time text";
        return false;
    }
    if (!is_time_text(w[2])) {
        *error = "\"" + printable(w[2]) +
                 "\" is no time text (1 to 64 of letters, digits and \" :-+/.,@\", "
                 "not starting with -)";
        return false;
    }
    out->duty = Duty::SetClock;
    out->time_text = w[2];
    return true;
}

bool parse_fixed_ip(const Words &w, Request *out, std::string *error) {
    if (w.size() == 2 && w[1] == "clear") {
        out->duty = Duty::ClearFixedAddress;
        return true;
    }
    if (w.size() != 4 || w[1] != "set") {
        *error = "fixed-ip takes \"set A.B.C.D/PREFIX GATEWAY|none\" or \"clear\"";
        return false;
    }
    const std::string &cidr = w[2];
    const size_t slash = cidr.find('/');
    FixedAddress f;
    const std::string prefix = slash == std::string::npos ? "" : cidr.substr(slash + 1);
    if (slash == std::string::npos || !gwutil::parse_ipv4(cidr.substr(0, slash), &f.address) ||
        prefix.empty() || prefix.size() > 2 ||
        prefix.find_first_not_of("0123456789") != std::string::npos ||
        (prefix.size() == 2 && prefix[0] == '0')) {
        *error = "\"" + printable(cidr) + "\" is not A.B.C.D/PREFIX";
        return false;
    }
    gwutil::parse_decimal(prefix, 0, 99, &f.prefix);  // one or two digits, checked above
    if (f.prefix < 1 || f.prefix > 32) {
        *error = "prefix " + prefix + " is not 1..32";
        return false;
    }
    if (w[3] != "none" && !gwutil::parse_ipv4(w[3], &f.gateway)) {
        *error = "\"" + printable(w[3]) + "\" is neither A.B.C.D nor none";
        return false;
    }
    // The rules gwcfgd applies to the settings from the LAN: the helper
    // grants its caller nothing more.
    const uint32_t mask = ~0u << (32 - f.prefix);
    switch (gwutil::check_fixed_ipv4(f.address, mask, f.gateway)) {
        case gwutil::FixedFault::None:
            break;
        case gwutil::FixedFault::NoAddress:
        case gwutil::FixedFault::NotANetmask:
            *error = cidr + " is no address";
            return false;
        case gwutil::FixedFault::NetworkOrBroadcast:
            *error = cidr + " is the network or broadcast address of its subnet";
            return false;
        case gwutil::FixedFault::GatewayOutside:
            *error = w[3] + " is not another address in the subnet of " + cidr;
            return false;
    }
    out->duty = Duty::SetFixedAddress;
    out->fixed = f;
    return true;
}

bool parse_network(const Words &w, Request *out, std::string *error) {
    if (w.size() == 2 && w[1] == "renew") {
        out->duty = Duty::RenewLease;
        return true;
    }
    if (w.size() == 2 && w[1] == "show") {
        out->duty = Duty::ShowStack;
        return true;
    }
    *error = "network takes \"renew\" or \"show\"";
    return false;
}

struct Command {
    const char *name;
    bool (*parse)(const Words &words, Request *out, std::string *error);
};

const Command kCommands[] = {
    {"date", parse_date},
    {"fixed-ip", parse_fixed_ip},
    {"network", parse_network},
};

// ---- the network stack -------------------------------------------------------

struct StackEntry {
    NetworkStack stack;
    const char *name;
    const char *sign;  // the path whose presence shows the stack runs
};

// In the order find_stack looks: a dhcpcd that runs wins over a
// NetworkManager directory left from an earlier boot's set-up.
const StackEntry kStacks[] = {
    {NetworkStack::DhcpcdEth0, "dhcpcd-eth0", "/run/dhcpcd/eth0.pid"},
    {NetworkStack::DhcpcdAll, "dhcpcd", "/run/dhcpcd/pid"},
    {NetworkStack::NetworkManager, "networkmanager", "/run/NetworkManager"},
};

// The value of key in a shell-style KEY=VALUE file ("" when absent); one
// pair of double or single quotes around the value is removed.
std::string setting(const std::string &path, const std::string &key) {
    std::ifstream in(path);
    if (!in) return "";
    std::ostringstream buf;
    buf << in.rdbuf();
    const std::string text = buf.str();
    std::string value;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line.compare(first, key.size() + 1, key + "=") != 0)
            continue;
        value = line.substr(first + key.size() + 1);
        const size_t last = value.find_last_not_of(" \t\r");
        value.erase(last == std::string::npos ? 0 : last + 1);
        if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
            value = value.substr(1, value.size() - 2);
    }
    return value;  // the last assignment counts, as in the shell
}

std::string cidr(const FixedAddress &f) {
    return format_ipv4(f.address) + "/" + std::to_string(f.prefix);
}

// nmcli exits with 10 for a connection or device that does not exist.
constexpr int kNmcliMissing = 10;
// How long nmcli waits for eth0 to come up on the profile; within the
// client's 30 s for an answer.
constexpr const char kNmcliWait[] = "20";

}  // namespace

bool encode_request(const Words &words, std::string *out, std::string *error) {
    out->clear();
    for (const std::string &w : words) {
        if (w.empty() || w.find('\0') != std::string::npos) {
            *error = "a word of the request is empty or holds a NUL byte";
            return false;
        }
        out->append(w);
        out->push_back('\0');
    }
    if (out->size() > kMaxRequest) {
        *error = "the request is longer than " + std::to_string(kMaxRequest) + " bytes";
        return false;
    }
    return true;
}

bool decode_request(const std::string &bytes, Words *out, std::string *error) {
    out->clear();
    if (bytes.size() > kMaxRequest) {
        *error = "the request is longer than " + std::to_string(kMaxRequest) + " bytes";
        return false;
    }
    if (bytes.empty() || bytes.back() != '\0') {
        *error = "the request does not end with a NUL byte";
        return false;
    }
    size_t start = 0;
    while (start < bytes.size()) {
        const size_t end = bytes.find('\0', start);
        if (end == start) {
            *error = "the request holds an empty word";
            return false;
        }
        out->push_back(bytes.substr(start, end - start));
        start = end + 1;
    }
    return true;
}

bool check_request(const Words &words, Request *out, std::string *error) {
    if (words.empty()) {
        *error = "empty request";
        return false;
    }
    for (const Command &c : kCommands)
        if (words[0] == c.name) return c.parse(words, out, error);
    *error = "\"" + printable(words[0]) +
             "\" is not a command of the helper (date, fixed-ip, network)";
    return false;
}

const char *stack_name(NetworkStack stack) {
    for (const StackEntry &e : kStacks)
        if (e.stack == stack) return e.name;
    return "?";
}

bool find_stack(const std::string &root, NetworkStack *out, std::string *how, std::string *error) {
    const std::string file = root + kSettingsFile;
    const std::string wanted = setting(file, kStackSetting);
    if (!wanted.empty() && wanted != "auto") {
        for (const StackEntry &e : kStacks)
            if (wanted == e.name) {
                *out = e.stack;
                *how = std::string("set by ") + kStackSetting + " in " + file;
                return true;
            }
        *error = file + ": " + kStackSetting + "=\"" + printable(wanted) +
                 "\" names no network stack (auto, dhcpcd-eth0, dhcpcd, networkmanager)";
        return false;
    }
    for (const StackEntry &e : kStacks) {
        struct stat st;
        if (lstat((root + e.sign).c_str(), &st) == 0) {
            *out = e.stack;
            *how = std::string("found ") + e.sign;
            return true;
        }
    }
    *out = NetworkStack::DhcpcdEth0;
    *how = "no DHCP client found running; dhcpcd for eth0 assumed";
    return true;
}

bool uses_dhcpcd_conf(NetworkStack stack) {
    return stack == NetworkStack::DhcpcdEth0 || stack == NetworkStack::DhcpcdAll;
}

std::vector<Step> stack_steps(NetworkStack stack, Duty duty, const FixedAddress &fixed) {
    std::vector<Step> steps;
    switch (stack) {
        case NetworkStack::DhcpcdEth0:
            // The restart service's own commands: release (systemd starts
            // the dhcpcd of eth0 again, which reads dhcpcd.conf), rebind.
            if (duty == Duty::RenewLease) {
                steps.push_back({{"dhcpcd", "-k", "eth0"}, {}, -1, 1});
                steps.push_back({{"dhcpcd", "-n", "eth0"}, {}, -1, 0});
            }
            break;
        case NetworkStack::DhcpcdAll:
            // One dhcpcd for every interface takes no per-interface -k, its
            // control socket serves one command per start, and its sandbox
            // keeps the dhcpcd.conf it started with. SIGHUP has it release
            // its leases and take their addresses off (the unit's stop,
            // SIGTERM, leaves them on); a restart then rereads dhcpcd.conf.
            if (duty == Duty::RenewLease) {
                steps.push_back(
                    {{"systemctl", "kill", "--kill-who=main", "--signal=SIGHUP", "dhcpcd.service"},
                     {},
                     -1,
                     1});
                steps.push_back({{"systemctl", "restart", "dhcpcd.service"}, {}, -1, 0});
            }
            break;
        case NetworkStack::NetworkManager: {
            Words props;
            if (duty == Duty::SetFixedAddress)
                props = {"ipv4.method",    "manual",
                         "ipv4.addresses", cidr(fixed),
                         "ipv4.gateway",   fixed.gateway ? format_ipv4(fixed.gateway) : ""};
            else
                props = {"ipv4.method", "auto", "ipv4.addresses", "", "ipv4.gateway", ""};
            Step step;
            step.missing_status = kNmcliMissing;
            if (duty == Duty::SetFixedAddress || duty == Duty::ClearFixedAddress) {
                // The profile is changed here and takes effect with the
                // renewal that follows; made at the first fixed address, it
                // wins over the image's own profile of eth0 from then on.
                step.argv = {"nmcli", "connection", "modify", kNmConnection};
                step.argv.insert(step.argv.end(), props.begin(), props.end());
                if (duty == Duty::SetFixedAddress) {
                    step.if_missing = {"nmcli",       "connection",
                                       "add",         "type",
                                       "ethernet",    "ifname",
                                       "eth0",        "con-name",
                                       kNmConnection, "connection.autoconnect-priority",
                                       "100"};
                    step.if_missing.insert(step.if_missing.end(), props.begin(), props.end());
                }
            } else {
                // Activating the profile again asks for a new lease (or puts
                // the fixed address on); without one, eth0's own profile.
                step.argv = {"nmcli", "--wait", kNmcliWait, "connection", "up", kNmConnection};
                step.if_missing = {"nmcli", "--wait", kNmcliWait, "device", "connect", "eth0"};
            }
            steps.push_back(step);
            break;
        }
    }
    return steps;
}

std::string with_fixed_block(const std::string &conf, const FixedAddress *fixed) {
    std::string out;
    bool skip = false;
    size_t start = 0;
    while (start < conf.size()) {
        size_t end = conf.find('\n', start);
        const bool has_newline = end != std::string::npos;
        if (!has_newline) end = conf.size();
        const std::string line = conf.substr(start, end - start);
        start = has_newline ? end + 1 : end;
        if (line == kBlockBegin) {
            skip = true;
            continue;
        }
        if (skip) {
            if (line == kBlockEnd) skip = false;
            continue;
        }
        out += line;
        out += '\n';
    }
    if (fixed) {
        out += std::string(kBlockBegin) + "\n";
        out += "interface eth0\n";
        out += "static ip_address=" + format_ipv4(fixed->address) + "/" +
               std::to_string(fixed->prefix) + "\n";
        if (fixed->gateway) out += "static routers=" + format_ipv4(fixed->gateway) + "\n";
        out += std::string(kBlockEnd) + "\n";
    }
    return out;
}

std::string printable(const std::string &text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c <= 0x7E) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    return out;
}

}  // namespace gwhelper
