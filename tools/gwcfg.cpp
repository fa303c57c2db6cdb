// gwcfg.cpp - the configuration tool: discover, show, set, timesync, clear,
// reboot. Every command speaks the UDP configuration protocol through one
// socket; the block codec is shared with the daemon (codec/include/config_block.h).
#include "gwcfg.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include <json/writer.h>

#include "config_block.h"

namespace gwcfg {

namespace {

using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------------------
// Command lines

struct Options {
    std::string command;
    std::vector<std::string> positional;
    std::string to;  // empty: broadcast
    uint16_t port = gwblock::kDefaultPort;
    int timeout_ms = 1000;
    int expect = 0;
    bool json = false;
    bool force = false;
    bool help = false;
};

const char kMainUsage[] =
    "usage: gwcfg COMMAND [ARGUMENTS] [OPTIONS]\n"
    "\n"
    "Configures LoRa gateways on the local network over the UDP configuration\n"
    "protocol. Gateways are named by their MAC address (00:11:22:33:44:55).\n"
    "\n"
    "commands:\n"
    "  discover                 list the gateways that answer\n"
    "  show MAC                 print a gateway's whole configuration\n"
    "  set MAC KEY=VALUE...     change configuration keys, checked against the\n"
    "                           forwarder's rules, and verify them\n"
    "  timesync MAC [TEXT]      set a gateway's clock (default: now)\n"
    "  clear MAC                send ClrCfgBuf and wait for the acknowledgement\n"
    "                           (it clears nothing)\n"
    "  reboot MAC               send the Reboot command (the gateway only logs it)\n"
    "\n"
    "options of every command:\n"
    "  --to ADDR      send to ADDR instead of broadcasting to 255.255.255.255\n"
    "  --port N       UDP port of the gateways (default 48321)\n"
    "  --timeout MS   how long to wait for answers (default 1000)\n"
    "  --help         help on the command\n"
    "\n"
    "exit status: 0 success, 1 a gateway did not answer, refused or failed\n"
    "verification, 2 usage error. Run gwcfg COMMAND --help for details.\n";

const char kCommonOptions[] =
    "  --to ADDR      send to ADDR (a gateway, a subnet broadcast address or\n"
    "                 127.0.0.1) instead of 255.255.255.255\n"
    "  --port N       UDP port of the gateways (default 48321)\n"
    "  --timeout MS   how long to wait for answers (default 1000)\n";

struct CommandSpec {
    const char *name;
    size_t min_args, max_args;  // positional arguments
    bool allows_json, allows_expect, allows_force;
    const char *usage;
};

const CommandSpec kCommands[] = {
    {"discover", 0, 0, true, true, false,
     "usage: gwcfg discover [--to ADDR] [--port N] [--timeout MS] [--expect N] [--json]\n"
     "\n"
     "Sends one discovery request and lists every gateway that answers within\n"
     "the timeout: MAC, address, device name, gateway ID, server, revision.\n"
     "Replies with a bad checksum or an invalid block are reported and left\n"
     "out; a MAC address that answers more than once is flagged, and so is a\n"
     "gateway ID that gateways with different MAC addresses share.\n"
     "\n"
     "  --expect N     stop as soon as N gateways answered; exit 1 when fewer do\n"
     "  --json         print a JSON array instead of the table\n"},
    {"show", 1, 1, true, false, false,
     "usage: gwcfg show MAC [--json] [--to ADDR] [--port N] [--timeout MS]\n"
     "\n"
     "Prints the gateway's whole configuration as KEY=VALUE lines, keys named\n"
     "as in global_conf.json (\"device_info\" keys are read-only views).\n"
     "\n"
     "  --json         print the configuration as one JSON object\n"},
    {"set", 2, SIZE_MAX, false, false, true,
     "usage: gwcfg set MAC KEY=VALUE... [--force] [--to ADDR] [--port N] [--timeout MS]\n"
     "\n"
     "Reads the gateway's configuration, changes the keys given, checks the\n"
     "whole configuration against the packet forwarder's rules, sends the\n"
     "update with the revision read, then reads the configuration back and\n"
     "verifies it. Keys are global_conf.json paths, for example\n"
     "  gateway_conf.server_address=router.example.net\n"
     "  SX1301_conf.radio_0.freq=867500000\n"
     "  serverIP_conf.fixed_ip=192.168.0.20\n"
     "Unknown keys, read-only keys, bad values and a configuration the\n"
     "forwarder would refuse are refused (exit 2) before anything is sent; a\n"
     "gateway without a configuration takes a whole radio plan and server\n"
     "settings in one set. Keys the forwarder never reads are warned about.\n"
     "An empty gateway_conf.gateway_ID is derived from the MAC address.\n"
     "docs/keys.md lists every key with its rule. The whole timeout is spent\n"
     "listening on the first read, so a MAC address that several gateways\n"
     "answer for is noticed.\n"
     "\n"
     "  --force        send even when nothing changes (the gateway then rewrites\n"
     "                 global_conf.json and restarts its forwarder) or when\n"
     "                 several gateways answer for the MAC (all of them get it)\n"},
    {"timesync", 1, 2, false, false, false,
     "usage: gwcfg timesync MAC [TEXT] [--to ADDR] [--port N] [--timeout MS]\n"
     "\n"
     "Sets the gateway's clock with TimeSync. TEXT is what the gateway's date\n"
     "command accepts after -s, at most 19 characters of digits, letters,\n"
     "blanks and : - / . + , (default: this machine's local time now, as\n"
     "\"YYYYMMDD hh:mm:ss\"). The gateway is looked up first; TimeSync has no\n"
     "answer of its own.\n"},
    {"clear", 1, 1, false, false, false,
     "usage: gwcfg clear MAC [--to ADDR] [--port N] [--timeout MS]\n"
     "\n"
     "Sends ClrCfgBuf and waits for the gateway's acknowledgement\n"
     "(\"ReceiveConfig\"). The acknowledgement is all: the gateway clears\n"
     "nothing and its configuration stays as it is.\n"},
    {"reboot", 1, 1, false, false, false,
     "usage: gwcfg reboot MAC [--to ADDR] [--port N] [--timeout MS]\n"
     "\n"
     "Looks the gateway up, then sends the Reboot command. Reboot has no\n"
     "answer, and the gateway only logs it: it does not restart.\n"},
};

const CommandSpec *find_command(const std::string &name) {
    for (const CommandSpec &c : kCommands)
        if (name == c.name) return &c;
    return nullptr;
}

bool parse_int(const std::string &text, long min, long max, long *out) {
    if (text.empty() || text.size() > 10) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    long long v = std::stoll(text);  // at most 10 digits: fits
    if (v < min || v > max) return false;
    *out = v;
    return true;
}

// Returns kExitOk or kExitUsage (with the message written).
int parse_command_line(const std::vector<std::string> &args, Options *o, const CommandSpec **command_entry,
                       std::ostream &err) {
    if (args.empty()) {
        err << kMainUsage;
        return kExitUsage;
    }
    o->command = args[0];
    if (o->command == "--help" || o->command == "-h" || o->command == "help") {
        o->help = true;
        *command_entry = nullptr;
        return kExitOk;
    }
    *command_entry = find_command(o->command);
    if (!*command_entry) {
        err << "gwcfg: unknown command \"" << o->command
            << "\". Commands: discover, show, set, timesync, clear, reboot; run gwcfg --help.\n";
        return kExitUsage;
    }
    const CommandSpec &c = **command_entry;
    auto usage_error = [&](const std::string &what) {
        err << "gwcfg " << c.name << ": " << what << ". Run gwcfg " << c.name << " --help.\n";
        return kExitUsage;
    };
    for (size_t i = 1; i < args.size(); ++i) {
        std::string a = args[i];
        if (a.size() < 2 || a.compare(0, 2, "--") != 0) {
            o->positional.push_back(a);
            continue;
        }
        std::string value;
        bool has_value = false;
        size_t eq = a.find('=');
        if (eq != std::string::npos) {
            value = a.substr(eq + 1);
            a = a.substr(0, eq);
            has_value = true;
        }
        auto need_value = [&]() -> bool {
            if (has_value) return true;
            if (i + 1 >= args.size()) return false;
            value = args[++i];
            return true;
        };
        auto no_value = [&]() { return !has_value; };
        long n;
        if (a == "--help") {
            o->help = true;
        } else if (a == "--to") {
            if (!need_value() || value.empty()) return usage_error("--to needs an address");
            o->to = value;
        } else if (a == "--port") {
            if (!need_value() || !parse_int(value, 1, 65535, &n))
                return usage_error("--port needs a port number 1..65535");
            o->port = static_cast<uint16_t>(n);
        } else if (a == "--timeout") {
            if (!need_value() || !parse_int(value, 1, 3600000, &n))
                return usage_error("--timeout needs milliseconds, 1..3600000");
            o->timeout_ms = static_cast<int>(n);
        } else if (a == "--expect" && c.allows_expect) {
            if (!need_value() || !parse_int(value, 1, 100000, &n))
                return usage_error("--expect needs a count of gateways, 1..100000");
            o->expect = static_cast<int>(n);
        } else if (a == "--json" && c.allows_json && no_value()) {
            o->json = true;
        } else if (a == "--force" && c.allows_force && no_value()) {
            o->force = true;
        } else {
            return usage_error("unknown option " + args[i]);
        }
    }
    if (o->help) return kExitOk;
    if (o->positional.size() < c.min_args) {
        if (c.min_args >= 1 && o->positional.empty()) return usage_error("the gateway's MAC address is missing");
        return usage_error("KEY=VALUE is missing");
    }
    if (o->positional.size() > c.max_args) return usage_error("unexpected argument \"" + o->positional[c.max_args] + "\"");
    return kExitOk;
}

// ---------------------------------------------------------------------------
// The socket

std::string format_endpoint(const sockaddr_in &a) {
    return gwblock::format_ipv4(ntohl(a.sin_addr.s_addr)) + ":" + std::to_string(ntohs(a.sin_port));
}

std::string format_address(const sockaddr_in &a) { return gwblock::format_ipv4(ntohl(a.sin_addr.s_addr)); }

class Link {
public:
    Link() = default;
    ~Link() {
        if (fd_ >= 0) close(fd_);
    }
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;

    // Opens the socket and resolves the destination. On failure *error says
    // why and *status is the exit status to use.
    bool open(const Options &o, std::string *error, int *status) {
        memset(&dest_, 0, sizeof dest_);
        dest_.sin_family = AF_INET;
        dest_.sin_port = htons(o.port);
        if (o.to.empty()) {
            dest_.sin_addr.s_addr = htonl(INADDR_BROADCAST);
        } else {
            addrinfo hints{};
            hints.ai_family = AF_INET;
            hints.ai_socktype = SOCK_DGRAM;
            addrinfo *res = nullptr;
            int rc = getaddrinfo(o.to.c_str(), nullptr, &hints, &res);
            if (rc != 0 || !res) {
                *error = "cannot resolve --to " + o.to + ": " + gai_strerror(rc) +
                         ". Give an IPv4 address such as 192.168.0.255 or 127.0.0.1";
                *status = kExitUsage;
                return false;
            }
            dest_.sin_addr = reinterpret_cast<sockaddr_in *>(res->ai_addr)->sin_addr;
            freeaddrinfo(res);
        }
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            *error = std::string("cannot open a UDP socket: ") + strerror(errno) +
                     ". Close other programs or raise the open-file limit, then try again";
            *status = kExitFailed;
            return false;
        }
        int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
        // Hundreds of gateways answer a broadcast at once; keep them all.
        int rcvbuf = 4 * 1024 * 1024;
        if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf) != 0)
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        if (bind(fd_, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
            *error = std::string("cannot bind a UDP socket: ") + strerror(errno) +
                     ". Check that this machine has IPv4 networking, then try again";
            *status = kExitFailed;
            return false;
        }
        return true;
    }

    bool send(const uint8_t *data, size_t len, std::string *error) {
        ssize_t n = sendto(fd_, data, len, 0, reinterpret_cast<const sockaddr *>(&dest_), sizeof dest_);
        if (n == static_cast<ssize_t>(len)) return true;
        *error = "cannot send to " + format_endpoint(dest_) + ": " + (n < 0 ? strerror(errno) : "short send") +
                 ". Check the network, or name the gateways' network with --to (for example its "
                 "broadcast address 192.168.0.255)";
        return false;
    }

    // One datagram before the deadline; false on timeout.
    bool receive(Clock::time_point deadline, std::vector<uint8_t> *data, sockaddr_in *from) {
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left < 0) left = 0;
            pollfd p{fd_, POLLIN, 0};
            int rc = poll(&p, 1, static_cast<int>(left));
            if (rc < 0 && errno == EINTR) continue;
            if (rc <= 0) return false;
            data->resize(2048);
            socklen_t alen = sizeof *from;
            ssize_t n = recvfrom(fd_, data->data(), data->size(), MSG_TRUNC,
                                 reinterpret_cast<sockaddr *>(from), &alen);
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN) continue;
                // An ICMP error (port unreachable on --to) lands here: keep
                // listening until the deadline.
                if (Clock::now() >= deadline) return false;
                continue;
            }
            // A datagram longer than the buffer keeps its real length, so it
            // never passes for one of the protocol's sizes.
            data->resize(static_cast<size_t>(n) > data->size() ? data->size() + 1 : static_cast<size_t>(n));
            return true;
        }
    }

    // Drops whatever is queued (late answers to an earlier request), so the
    // next answers read belong to the next request.
    void drain() {
        uint8_t buf[16];
        while (recv(fd_, buf, sizeof buf, MSG_DONTWAIT) >= 0) {
        }
    }

    std::string destination() const { return format_endpoint(dest_); }

private:
    int fd_ = -1;
    sockaddr_in dest_{};
};

// ---------------------------------------------------------------------------
// Discovery

struct Reply {
    uint8_t mac[6];
    sockaddr_in from;
    gwblock::BlockContents contents;
};

// Sends one discovery request and collects valid replies until the timeout
// or until done(replies) says so. Bad replies are reported on err.
bool discover(Link &link, const Options &o, std::ostream &err, std::vector<Reply> *replies,
              const std::function<bool(const std::vector<Reply> &)> &done, std::string *error) {
    uint8_t request[SEARCH_COMMAND_LEN];
    gwblock::build_discovery_request(request);
    link.drain();
    if (!link.send(request, sizeof request, error)) return false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(o.timeout_ms);
    std::vector<uint8_t> data;
    sockaddr_in from{};
    while (!done(*replies) && link.receive(deadline, &data, &from)) {
        Reply r;
        r.from = from;
        std::string fault;
        uint8_t mac[6];
        if (!gwblock::parse_discovery_frame(data.data(), data.size(), mac, nullptr, &fault)) {
            err << "gwcfg: warning: ignoring a reply from " << format_endpoint(from) << ": " << fault << "\n";
            continue;
        }
        if (!gwblock::parse_discovery_reply(data.data(), data.size(), r.mac, &r.contents, &fault)) {
            err << "gwcfg: warning: ignoring the reply of " << gwblock::format_mac(mac) << " from "
                << format_endpoint(from) << ": " << fault
                << " (its daemon may be of another version; check its log)\n";
            continue;
        }
        replies->push_back(r);
    }
    return true;
}

std::string orDash(const std::string &s) { return s.empty() ? "-" : s; }

std::string text_of(const char *array, size_t size) { return std::string(array, strnlen(array, size)); }

// ---------------------------------------------------------------------------
// Commands

int cmd_discover(const Options &o, std::ostream &out, std::ostream &err) {
    Link link;
    std::string error;
    int status = kExitFailed;
    if (!link.open(o, &error, &status)) {
        err << "gwcfg: " << error << ".\n";
        return status;
    }
    std::vector<Reply> replies;
    auto done = [&](const std::vector<Reply> &r) { return o.expect > 0 && static_cast<int>(r.size()) >= o.expect; };
    if (!discover(link, o, err, &replies, done, &error)) {
        err << "gwcfg: " << error << ".\n";
        return kExitFailed;
    }
    std::stable_sort(replies.begin(), replies.end(), [](const Reply &a, const Reply &b) {
        int c = memcmp(a.mac, b.mac, 6);
        if (c != 0) return c < 0;
        return ntohl(a.from.sin_addr.s_addr) < ntohl(b.from.sin_addr.s_addr);
    });
    std::map<std::string, int> count;
    for (const Reply &r : replies) ++count[gwblock::format_mac(r.mac)];
    // Gateway IDs that gateways with different MAC addresses share (the
    // forwarder reads the ID as a hexadecimal number, so case does not
    // matter). Unset IDs are left to the rules.
    std::map<std::string, std::set<std::string>> macs_of_id;
    for (const Reply &r : replies) {
        std::string id = text_of(r.contents.gw.gateway_conf.gateway_ID, sizeof r.contents.gw.gateway_conf.gateway_ID);
        std::transform(id.begin(), id.end(), id.begin(), [](unsigned char c) { return std::toupper(c); });
        if (!id.empty()) macs_of_id[id].insert(gwblock::format_mac(r.mac));
    }
    auto shared_id = [&](const Reply &r) {
        std::string id = text_of(r.contents.gw.gateway_conf.gateway_ID, sizeof r.contents.gw.gateway_conf.gateway_ID);
        std::transform(id.begin(), id.end(), id.begin(), [](unsigned char c) { return std::toupper(c); });
        return !id.empty() && macs_of_id[id].size() > 1;
    };

    if (o.json) {
        Json::Value arr(Json::arrayValue);
        for (const Reply &r : replies) {
            Json::Value g;
            const std::string mac = gwblock::format_mac(r.mac);
            g["mac"] = mac;
            g["address"] = format_address(r.from);
            g["port"] = ntohs(r.from.sin_port);
            g["server_name"] = text_of(r.contents.eqp.server_name, sizeof r.contents.eqp.server_name);
            g["gateway_ID"] = text_of(r.contents.gw.gateway_conf.gateway_ID, sizeof r.contents.gw.gateway_conf.gateway_ID);
            g["server_address"] =
                text_of(r.contents.gw.gateway_conf.server_address, sizeof r.contents.gw.gateway_conf.server_address);
            g["revision"] = r.contents.revision;
            g["duplicate"] = count[mac] > 1;
            g["duplicate_gateway_ID"] = shared_id(r);
            arr.append(g);
        }
        Json::StreamWriterBuilder w;
        w["indentation"] = "  ";
        out << Json::writeString(w, arr) << "\n";
    } else if (!replies.empty()) {
        std::vector<std::vector<std::string>> rows;
        rows.push_back({"MAC", "ADDRESS", "DEVICE NAME", "GATEWAY ID", "SERVER", "REVISION"});
        for (const Reply &r : replies) {
            const auto &f = r.contents.gw.gateway_conf;
            std::vector<std::string> row = {gwblock::format_mac(r.mac), format_address(r.from),
                                            orDash(text_of(r.contents.eqp.server_name, sizeof r.contents.eqp.server_name)),
                                            orDash(text_of(f.gateway_ID, sizeof f.gateway_ID)),
                                            orDash(text_of(f.server_address, sizeof f.server_address)),
                                            std::to_string(r.contents.revision)};
            std::string flags;
            if (count[row[0]] > 1) flags = "DUPLICATE MAC";
            if (shared_id(r)) flags += (flags.empty() ? "" : ", ") + std::string("DUPLICATE ID");
            if (!flags.empty()) row.push_back(flags);
            rows.push_back(row);
        }
        std::vector<size_t> width(6, 0);
        for (const auto &row : rows)
            for (size_t i = 0; i < 6; ++i) width[i] = std::max(width[i], row[i].size());
        for (const auto &row : rows) {
            std::string line;
            for (size_t i = 0; i < row.size(); ++i) {
                line += row[i];
                if (i + 1 < row.size()) line += std::string(width[i < 6 ? i : 5] - row[i].size() + 2, ' ');
            }
            while (!line.empty() && line.back() == ' ') line.pop_back();
            out << line << "\n";
        }
    }
    for (const auto &kv : count) {
        if (kv.second < 2) continue;
        std::string where;
        for (const Reply &r : replies)
            if (gwblock::format_mac(r.mac) == kv.first) where += (where.empty() ? "" : ", ") + format_endpoint(r.from);
        err << "gwcfg: warning: MAC " << kv.first << " answered " << kv.second << " times (" << where
            << "): every command for it reaches all of them. Give each gateway its own MAC address.\n";
    }
    for (const auto &kv : macs_of_id) {
        if (kv.second.size() < 2) continue;
        std::string which;
        size_t listed = 0;
        for (const std::string &m : kv.second) {
            if (listed++ == 5) {
                which += ", ...";
                break;
            }
            which += (which.empty() ? "" : ", ") + m;
        }
        err << "gwcfg: warning: gateway ID " << kv.first << " is used by " << kv.second.size() << " gateways ("
            << which << "): the network server cannot tell them apart. Give each its own "
            << "gateway_conf.gateway_ID, or set it empty so that each derives one from its MAC address.\n";
    }
    if (replies.empty()) {
        err << "gwcfg: no gateway answered within " << o.timeout_ms << " ms (asked " << link.destination()
            << "). Check that the gateways are up and on this network, or try --to ADDR, --port N or a "
               "longer --timeout.\n";
        return kExitFailed;
    }
    if (o.expect > 0 && static_cast<int>(replies.size()) < o.expect) {
        err << "gwcfg: only " << replies.size() << " of the " << o.expect << " expected gateways answered within "
            << o.timeout_ms << " ms. Check the missing ones, or raise --timeout.\n";
        return kExitFailed;
    }
    return kExitOk;
}

// Parses the MAC argument; writes the usage error otherwise.
bool mac_argument(const Options &o, uint8_t mac[6], std::ostream &err) {
    if (gwblock::parse_mac(o.positional[0], mac)) return true;
    err << "gwcfg " << o.command << ": \"" << o.positional[0]
        << "\" is not a MAC address; write it as 00:11:22:33:44:55 (gwcfg discover lists them).\n";
    return false;
}

// Looks one gateway up by MAC. With wait_all the whole timeout is spent, so
// that every gateway answering for the MAC is seen.
int lookup(Link &link, const Options &o, const uint8_t mac[6], bool wait_all, std::ostream &err,
           std::vector<Reply> *found) {
    std::vector<Reply> replies;
    auto done = [&](const std::vector<Reply> &r) {
        if (wait_all) return false;
        for (const Reply &x : r)
            if (memcmp(x.mac, mac, 6) == 0) return true;
        return false;
    };
    std::string error;
    if (!discover(link, o, err, &replies, done, &error)) {
        err << "gwcfg: " << error << ".\n";
        return kExitFailed;
    }
    found->clear();
    for (const Reply &r : replies)
        if (memcmp(r.mac, mac, 6) == 0) found->push_back(r);
    if (found->empty()) {
        err << "gwcfg: gateway " << gwblock::format_mac(mac) << " did not answer within " << o.timeout_ms
            << " ms (asked " << link.destination()
            << "). Run gwcfg discover to list the gateways that answer, or raise --timeout.\n";
        return kExitFailed;
    }
    return kExitOk;
}

bool open_link(Link &link, const Options &o, std::ostream &err, int *status) {
    std::string error;
    if (link.open(o, &error, status)) return true;
    err << "gwcfg: " << error << ".\n";
    return false;
}

int cmd_show(const Options &o, std::ostream &out, std::ostream &err) {
    uint8_t mac[6];
    if (!mac_argument(o, mac, err)) return kExitUsage;
    Link link;
    int status = kExitFailed;
    if (!open_link(link, o, err, &status)) return status;
    std::vector<Reply> found;
    if ((status = lookup(link, o, mac, false, err, &found)) != kExitOk) return status;
    const Reply &r = found.front();
    if (o.json) {
        Json::StreamWriterBuilder w;
        w["indentation"] = "   ";
        out << Json::writeString(w, gwblock::to_json(r.contents)) << "\n";
        return kExitOk;
    }
    out << "# gateway " << gwblock::format_mac(mac) << " at " << format_endpoint(r.from) << ", revision "
        << r.contents.revision << "\n";
    for (const gwblock::KeyInfo &k : gwblock::key_table())
        out << k.path << "=" << gwblock::get_value(r.contents, k) << "\n";
    return kExitOk;
}

int cmd_set(const Options &o, std::ostream &out, std::ostream &err) {
    uint8_t mac[6];
    if (!mac_argument(o, mac, err)) return kExitUsage;

    // Every assignment is checked before anything goes out.
    std::vector<std::pair<std::string, std::string>> changes;
    std::set<std::string> seen;
    for (size_t i = 1; i < o.positional.size(); ++i) {
        const std::string &a = o.positional[i];
        size_t eq = a.find('=');
        if (eq == std::string::npos || eq == 0) {
            err << "gwcfg set: \"" << a << "\" is not KEY=VALUE (for example gateway_conf.server_address="
                << "router.example.net). Run gwcfg set --help.\n";
            return kExitUsage;
        }
        std::string key = a.substr(0, eq), value = a.substr(eq + 1);
        if (!seen.insert(key).second) {
            err << "gwcfg set: " << key << " is given twice; give each key once.\n";
            return kExitUsage;
        }
        gwblock::BlockContents scratch{};
        std::string fault;
        const bool parsed = gwblock::set_value(&scratch, key, value, &fault);
        gwblock::fill_unset_gateway_id(&scratch);  // empty: derived from the MAC address below
        if (parsed && !gwblock::check_key_rule(scratch, *gwblock::find_key(key), &fault)) {
            err << "gwcfg set: " << fault << ". Nothing was sent. docs/keys.md lists every key with its rule.\n";
            return kExitUsage;
        }
        if (!parsed) {
            const gwblock::KeyInfo *k = gwblock::find_key(key);
            err << "gwcfg set: " << fault << ". Nothing was sent. ";
            if (!k)
                err << "Keys are global_conf.json paths such as gateway_conf.server_address; gwcfg show MAC "
                       "lists them all.\n";
            else if (!k->writable)
                err << "Only the SX1301_conf, gateway_conf and serverIP_conf keys can be set.\n";
            else
                err << "Give a value that fits the key.\n";
            return kExitUsage;
        }
        changes.emplace_back(key, value);
    }
    for (const auto &c : changes) {
        const gwblock::KeyInfo *k = gwblock::find_key(c.first);
        if (k->forwarder_reads) continue;
        err << "gwcfg set: warning: " << k->path
            << (k->in_global_conf ? " is written to global_conf.json, but the forwarder never reads it.\n"
                                  : " is kept by the gateway, but never written to global_conf.json: the "
                                    "forwarder never reads it.\n");
    }

    Link link;
    int status = kExitFailed;
    if (!open_link(link, o, err, &status)) return status;
    std::vector<Reply> found;
    if ((status = lookup(link, o, mac, true, err, &found)) != kExitOk) return status;
    const std::string mac_text = gwblock::format_mac(mac);
    if (found.size() > 1) {
        std::set<std::string> sources;
        for (const Reply &r : found) sources.insert(format_endpoint(r.from));
        std::string where;
        for (const std::string &s : sources) where += (where.empty() ? "" : ", ") + s;
        if (!o.force) {
            err << "gwcfg set: " << found.size() << " answers for MAC " << mac_text << " (" << where
                << "): an update would reach every gateway with that MAC. Nothing was sent. Address one "
                   "gateway with --to ADDR, or use --force to update them all.\n";
            return kExitFailed;
        }
        err << "gwcfg set: warning: " << found.size() << " answers for MAC " << mac_text << " (" << where
            << "); --force: sending anyway.\n";
    }
    const Reply &current = found.front();
    gwblock::BlockContents wanted = current.contents;
    for (const auto &c : changes) {
        std::string fault;
        gwblock::set_value(&wanted, c.first, c.second, &fault);  // checked above
    }
    if (gwblock::diff_keys(current.contents, wanted, true).empty() && !o.force) {
        out << mac_text << ": nothing to change, the keys already hold these values (revision "
            << current.contents.revision << "). Use --force to send the update anyway.\n";
        return kExitOk;
    }
    if (gwblock::fill_unset_gateway_id(&wanted))
        err << "gwcfg set: gateway_conf.gateway_ID is unset; setting "
            << wanted.gw.gateway_conf.gateway_ID << ", derived from the MAC address.\n";
    // The whole configuration, as the forwarder will read it.
    const std::vector<gwblock::RuleFault> faults = gwblock::rule_faults(wanted);
    if (!faults.empty()) {
        const size_t kShown = 8;
        err << "gwcfg set: the configuration of " << mac_text
            << " would break the forwarder's rules; nothing was sent:\n";
        for (size_t i = 0; i < faults.size() && i < kShown; ++i) err << "  " << faults[i].message << "\n";
        if (faults.size() > kShown) err << "  and " << faults.size() - kShown << " more\n";
        err << "Set these keys too, in the same gwcfg set: a gateway without a configuration takes a whole "
               "radio plan and server settings at once. docs/keys.md lists every key with its rule.\n";
        return kExitUsage;
    }
    const std::vector<const gwblock::KeyInfo *> changed = gwblock::diff_keys(current.contents, wanted, true);
    std::string fault;
    if (!gwblock::validate(wanted, &fault)) {
        // The gateway sent something we can decode, so this only happens if
        // the change itself does not fit; refuse rather than send it.
        err << "gwcfg set: the changed configuration is not valid: " << fault << ". Nothing was sent.\n";
        return kExitUsage;
    }
    uint8_t block[gwblock::kBlockSize];
    gwblock::encode(wanted, block);  // carries the revision read
    uint8_t update[UPDATE_COMMAND_LEN];
    gwblock::build_update(update, mac, block);
    std::string error;
    if (!link.send(update, sizeof update, &error)) {
        err << "gwcfg: " << error << ".\n";
        return kExitFailed;
    }

    // Read back. An update has no answer; the next discovery reply shows
    // whether the gateway took it. Ask up to three times while it still
    // shows the old revision.
    const uint32_t old_rev = current.contents.revision;
    Reply after{};
    bool have = false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::vector<Reply> again;
        std::ostringstream quiet;
        if (lookup(link, o, mac, false, attempt == 2 ? err : quiet, &again) != kExitOk) continue;
        after = again.front();
        have = true;
        if (after.contents.revision != old_rev) break;
    }
    if (!have) {
        err << "gwcfg set: the update was sent, but gateway " << mac_text
            << " did not answer the read-back. Run gwcfg show " << mac_text << " to see whether it took it.\n";
        return kExitFailed;
    }
    if (after.contents.revision == old_rev) {
        err << "gwcfg set: gateway " << mac_text << " did not take the update: it still reads revision " << old_rev
            << ". It refuses blocks that fail its checks or carry a stale revision (see its log). Run gwcfg show "
            << mac_text << " and try again.\n";
        return kExitFailed;
    }
    std::vector<const gwblock::KeyInfo *> wrong = gwblock::diff_keys(wanted, after.contents, true);
    if (!wrong.empty()) {
        err << "gwcfg set: gateway " << mac_text << " is at revision " << after.contents.revision
            << " but does not read back what was sent:\n";
        for (const gwblock::KeyInfo *k : wrong)
            err << "  " << k->path << ": sent " << gwblock::get_value(wanted, *k) << ", reads "
                << gwblock::get_value(after.contents, *k) << "\n";
        err << "Someone else may have changed it at the same time; run gwcfg show " << mac_text
            << " and set the keys again.\n";
        return kExitFailed;
    }
    if (after.contents.revision != old_rev + 1)
        err << "gwcfg set: warning: the revision went from " << old_rev << " to " << after.contents.revision
            << ": another change landed as well.\n";
    out << mac_text << ": stored as revision " << after.contents.revision << ", global_conf.json rewritten\n";
    for (const gwblock::KeyInfo *k : changed) out << "  " << k->path << "=" << gwblock::get_value(after.contents, *k) << "\n";
    return kExitOk;
}

bool date_text_ok(const std::string &t) {
    if (t.empty() || t.size() > 19) return false;
    for (unsigned char c : t)
        if (!(isalnum(c) || c == ' ' || c == ':' || c == '-' || c == '/' || c == '.' || c == '+' || c == ','))
            return false;
    return true;
}

std::string now_text() {
    time_t t = time(nullptr);
    struct tm tm {};
    localtime_r(&t, &tm);
    char buf[32];
    strftime(buf, sizeof buf, "%Y%m%d %H:%M:%S", &tm);
    return buf;
}

// Looks the gateway up, then sends one command that has no answer.
int send_unanswered(const Options &o, const char *command, const std::string &argument, std::ostream &out,
                    std::ostream &err) {
    uint8_t mac[6];
    if (!mac_argument(o, mac, err)) return kExitUsage;
    uint8_t datagram[MESSAGE_COMMAND_LEN];
    if (!gwblock::build_command(datagram, mac, command, argument.c_str())) {
        err << "gwcfg " << o.command << ": the argument is too long (at most 19 characters).\n";
        return kExitUsage;
    }
    Link link;
    int status = kExitFailed;
    if (!open_link(link, o, err, &status)) return status;
    std::vector<Reply> found;
    if ((status = lookup(link, o, mac, false, err, &found)) != kExitOk) return status;
    std::string error;
    if (!link.send(datagram, sizeof datagram, &error)) {
        err << "gwcfg: " << error << ".\n";
        return kExitFailed;
    }
    out << "sent " << command;
    if (!argument.empty()) out << " \"" << argument << "\"";
    out << " to " << gwblock::format_mac(mac) << " (at " << format_address(found.front().from) << ")\n";
    return kExitOk;
}

int cmd_timesync(const Options &o, std::ostream &out, std::ostream &err) {
    std::string text = o.positional.size() > 1 ? o.positional[1] : now_text();
    if (!date_text_ok(text)) {
        err << "gwcfg timesync: \"" << text
            << "\" is not a date text: give at most 19 characters of digits, letters, blanks and : - / . + , "
               "such as \"20261207 11:12:13\".\n";
        return kExitUsage;
    }
    return send_unanswered(o, "TimeSync", text, out, err);
}

int cmd_reboot(const Options &o, std::ostream &out, std::ostream &err) {
    const int status = send_unanswered(o, "Reboot", "", out, err);
    if (status == kExitOk)
        out << "The gateway only logs Reboot: it does not restart.\n";
    return status;
}

int cmd_clear(const Options &o, std::ostream &out, std::ostream &err) {
    uint8_t mac[6];
    if (!mac_argument(o, mac, err)) return kExitUsage;
    uint8_t datagram[MESSAGE_COMMAND_LEN];
    gwblock::build_command(datagram, mac, "ClrCfgBuf", "");
    Link link;
    int status = kExitFailed;
    if (!open_link(link, o, err, &status)) return status;
    std::string error;
    link.drain();
    if (!link.send(datagram, sizeof datagram, &error)) {
        err << "gwcfg: " << error << ".\n";
        return kExitFailed;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(o.timeout_ms);
    std::vector<uint8_t> data;
    sockaddr_in from{};
    while (link.receive(deadline, &data, &from)) {
        std::string fault;
        if (gwblock::parse_server_ack(data.data(), data.size(), mac, &fault)) {
            out << gwblock::format_mac(mac) << " acknowledged ClrCfgBuf (ReceiveConfig, from "
                << format_address(from) << ")\n"
                << "The acknowledgement is all: the gateway cleared nothing, its configuration is "
                   "unchanged.\n";
            return kExitOk;
        }
        err << "gwcfg: warning: ignoring a datagram from " << format_endpoint(from) << ": " << fault << "\n";
    }
    err << "gwcfg: no acknowledgement from " << gwblock::format_mac(mac) << " within " << o.timeout_ms
        << " ms (asked " << link.destination()
        << "). Check the MAC with gwcfg discover, or raise --timeout.\n";
    return kExitFailed;
}

}  // namespace

int run(const std::vector<std::string> &args, std::ostream &out, std::ostream &err) {
    Options o;
    const CommandSpec *command_entry = nullptr;
    int status = parse_command_line(args, &o, &command_entry, err);
    if (status != kExitOk) return status;
    if (o.help) {
        out << (command_entry ? command_entry->usage : kMainUsage);
        if (command_entry) out << "\n" << kCommonOptions << "  --help         this text\n";
        return kExitOk;
    }
    if (o.command == "discover") return cmd_discover(o, out, err);
    if (o.command == "show") return cmd_show(o, out, err);
    if (o.command == "set") return cmd_set(o, out, err);
    if (o.command == "timesync") return cmd_timesync(o, out, err);
    if (o.command == "clear") return cmd_clear(o, out, err);
    return cmd_reboot(o, out, err);
}

}  // namespace gwcfg
