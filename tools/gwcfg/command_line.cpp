// command_line.cpp - parsing gwcfg's command line against the command table,
// the help texts and the completion candidates it gives.
#include "command_line.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>

#include <algorithm>
#include <set>

#include "capture.h"
#include "cli.h"
#include "config_block.h"

namespace gwcfg {

namespace {

const std::vector<OptionRow> kOptionRows = {
    {kOptAll, "--all", nullptr, false,
     "every gateway that answers discovery, instead of MAC addresses"},
    {kOptExpect, "--expect", "N", false,
     "discover: stop as soon as N gateways answered. Elsewhere (with --all):\n"
     "change nothing when fewer than N answered. Exit 1 when fewer did"},
    {kOptTo, "--to", "ADDR[:PORT]", false,
     "send to ADDR (a gateway, a broadcast address of a network of this\n"
     "machine, or 127.0.0.1) instead of the broadcast address of every\n"
     "interface that is up (and 255.255.255.255 where it is routed); for one\n"
     "gateway's address only its replies count"},
    {kOptPort, "--port", "N", false, "UDP port of the gateways (default 48321)"},
    {kOptTimeout, "--timeout", "MS", false, "how long each step waits for answers (default 1000)"},
    {kOptRetries, "--retries", "N", false,
     "requests sent again within the timeout when no answer came (default 2)"},
    {kOptCapture, "--capture", "FILE", false,
     "write every datagram sent and received to FILE, a pcap capture for\n"
     "Wireshark (/usr/share/doc/gwcfg/wireshark.md)"},
    {kOptJson, "--json", nullptr, false, "print JSON for scripts"},
    {kOptKeys, "--keys", nullptr, false, "print every key as KEY=VALUE"},
    {kOptOnly, "--only", "SECTION", true,
     "take only these sections of the file (SX1301_conf, gateway_conf,\n"
     "serverIP_conf, or an object such as SX1301_conf.radio_0); repeat it or\n"
     "separate names with commas"},
    {kOptDryRun, "--dry-run", nullptr, false, "show what would change and send nothing"},
    {kOptForce, "--force", nullptr, false,
     "send even when nothing changes, when several gateways answer for a MAC\n"
     "address, or when a backup is of another gateway"},
    {kOptNoWait, "--no-wait", nullptr, false,
     "return once the gateway stored the change, without waiting for its\n"
     "verdict on the forwarder"},
    {kOptVerbose, "--verbose", nullptr, false,
     "name where requests go: each interface's broadcast address, and the\n"
     "interfaces left out"},
    {kOptListen, "--listen", "ADDR[:PORT]", false,
     "web: serve on ADDR:PORT (default 127.0.0.1:8480); any other address\n"
     "than loopback needs a login"},
    {kOptPasswordFile, "--password-file", "FILE", false,
     "web: the login is the first line of FILE instead of a token printed at start"},
    {kOptTlsCert, "--tls-cert", "FILE", false,
     "web: serve TLS with this PEM certificate (and --tls-key)"},
    {kOptTlsKey, "--tls-key", "FILE", false, "web: the PEM private key of --tls-cert"},
    {kOptFleetFile, "--fleet-file", "FILE", false,
     "web: show a recorded fleet (the JSON of /api/fleet) instead of asking gateways"},
    {kOptHelp, "--help", nullptr, false, "this text"},
};

const OptionRow *find_option(const std::string &name) {
    for (const OptionRow &o : kOptionRows)
        if (name == o.name) return &o;
    return nullptr;
}

std::string verb_names() {
    std::string names;
    for (const VerbRow &v : verb_table()) {
        if (v.hidden) continue;
        names += (names.empty() ? "" : ", ") + std::string(v.name);
    }
    return names;
}

// The usage line's arguments: "(MAC...|--all) KEY=VALUE...".
std::string arguments_of(const VerbRow &v) {
    std::string s;
    if (v.targets == Targets::Fleet) s = "(MAC...|--all)";
    if (*v.rest) s += (s.empty() ? "" : " ") + std::string(v.rest);
    return s;
}

std::string option_usage(const OptionRow &o) {
    return std::string(o.name) + (o.value ? std::string(" ") + o.value : "");
}

// Writes rows of "  NAME  HELP" with the help's lines aligned.
void print_rows(std::ostream &out, const std::vector<std::pair<std::string, std::string>> &rows) {
    size_t width = 0;
    for (const auto &r : rows)
        width = std::max(width, r.first.size());
    for (const auto &r : rows) {
        std::string help = r.second;
        out << "  " << r.first << std::string(width - r.first.size() + 2, ' ');
        size_t start = 0, nl;
        bool first = true;
        while ((nl = help.find('\n', start)) != std::string::npos || start < help.size()) {
            const std::string line =
                help.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
            if (!first) out << std::string(width + 4, ' ');
            out << line << "\n";
            first = false;
            if (nl == std::string::npos) break;
            start = nl + 1;
        }
        if (first) out << "\n";
    }
}

int usage_error(std::ostream &err, const char *verb, const std::string &what) {
    if (verb)
        err << "gwcfg " << verb << ": " << what << ". Run gwcfg " << verb << " --help.\n";
    else
        err << "gwcfg: " << what << ". Run gwcfg --help.\n";
    return gwcli::kExitUsage;
}

// The broadcast addresses of this machine's networks, network order.
std::set<uint32_t> local_broadcasts() {
    std::set<uint32_t> out = {htonl(INADDR_BROADCAST)};
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return out;
    for (ifaddrs *i = list; i; i = i->ifa_next)
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET && (i->ifa_flags & IFF_BROADCAST) &&
            i->ifa_broadaddr)
            out.insert(reinterpret_cast<sockaddr_in *>(i->ifa_broadaddr)->sin_addr.s_addr);
    freeifaddrs(list);
    return out;
}

// "ADDR" or "ADDR:PORT".
bool parse_to(const std::string &text, Invocation *inv, bool *port_given, std::string *error) {
    std::string host = text;
    const size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        host = text.substr(0, colon);
        uint16_t port = 0;
        if (!gwcli::parse_decimal(text.substr(colon + 1), uint16_t{1}, uint16_t{65535}, &port)) {
            *error = "--to " + text + ": the port after ':' must be a number 1..65535";
            return false;
        }
        inv->reach.dest.sin_port = htons(port);
        *port_given = true;
    }
    if (host.empty()) {
        *error = "--to needs an address, such as 192.168.0.255 or 127.0.0.1:48321";
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *res = nullptr;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &res);
    if (rc != 0 || !res) {
        *error = "cannot resolve --to " + host + ": " + gai_strerror(rc) +
                 ". Give an IPv4 address such as 192.168.0.255 or 127.0.0.1";
        return false;
    }
    inv->reach.dest.sin_addr = reinterpret_cast<sockaddr_in *>(res->ai_addr)->sin_addr;
    freeaddrinfo(res);
    inv->reach.unicast = local_broadcasts().count(inv->reach.dest.sin_addr.s_addr) == 0;
    return true;
}

bool valid_section(const std::string &name) {
    return name.compare(0, 11, "device_info") != 0 && !gwblock::keys_in_section(name).empty();
}

std::vector<std::string> section_names() {
    std::vector<std::string> out;
    std::set<std::string> seen;
    for (const gwblock::KeyInfo &k : gwblock::key_table()) {
        if (!k.writable) continue;
        for (size_t dot = k.path.find('.'); dot != std::string::npos;
             dot = k.path.find('.', dot + 1)) {
            const std::string name = k.path.substr(0, dot);
            if (seen.insert(name).second) out.push_back(name);
        }
    }
    return out;
}

bool looks_like_mac(const std::string &s) {
    if (s.empty() || s.size() > 17) return false;
    for (char c : s)
        if (!isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '-') return false;
    return true;
}

}  // namespace

std::string closest_word(const std::string &word, const std::vector<std::string> &candidates) {
    // Optimal string alignment distance, over three rows.
    auto distance = [](const std::string &a, const std::string &b) {
        std::vector<size_t> prev2(b.size() + 1), prev(b.size() + 1), row(b.size() + 1);
        for (size_t j = 0; j <= b.size(); ++j)
            prev[j] = j;
        for (size_t i = 1; i <= a.size(); ++i) {
            row[0] = i;
            for (size_t j = 1; j <= b.size(); ++j) {
                row[j] = std::min(
                    {prev[j] + 1, row[j - 1] + 1, prev[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
                if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                    row[j] = std::min(row[j], prev2[j - 2] + 1);
            }
            prev2.swap(prev);
            prev.swap(row);
        }
        return prev[b.size()];
    };
    const size_t limit = std::max<size_t>(1, word.size() / 3);
    size_t best = limit + 1;
    std::string found;
    bool tie = false;
    for (const std::string &c : candidates) {
        if (c == word) continue;
        const size_t longer = std::max(c.size(), word.size()),
                     shorter = std::min(c.size(), word.size());
        if (longer - shorter > limit) continue;
        const size_t d = distance(word, c);
        if (d < best) {
            best = d;
            found = c;
            tie = false;
        } else if (d == best && c != found) {
            tie = true;
        }
    }
    return tie ? "" : found;
}

std::string did_you_mean(const std::string &word, const std::vector<std::string> &candidates) {
    const std::string c = closest_word(word, candidates);
    return c.empty() ? "" : " Did you mean " + c + "?";
}

const std::vector<OptionRow> &option_table() { return kOptionRows; }

const VerbRow *find_verb(const std::string &name) {
    for (const VerbRow &v : verb_table())
        if (name == v.name) return &v;
    return nullptr;
}

int parse_command_line(const std::vector<std::string> &args, Invocation *inv, Io &io) {
    inv->reach.dest.sin_family = AF_INET;
    inv->reach.dest.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    inv->reach.dest.sin_port = htons(gwblock::kDefaultPort);
    if (args.empty()) {
        print_main_help(io.err);
        return gwcli::kExitUsage;
    }
    const std::string &first = args[0];
    if (first == "--help" || first == "-h") {
        inv->help = true;
        return gwcli::kExitOk;
    }
    if (first == "--version") {
        if (args.size() > 1) return usage_error(io.err, nullptr, "--version takes no arguments");
        io.out << gwcli::version_line("gwcfg");
        inv->version = true;
        return gwcli::kExitOk;
    }
    inv->verb = find_verb(first);
    if (!inv->verb || inv->verb->hidden) {
        if (first.compare(0, 1, "-") == 0 && first != "__complete")
            return usage_error(io.err, nullptr,
                               "options come after the verb; the verbs are " + verb_names());
        if (!inv->verb) {
            std::vector<std::string> names;
            for (const VerbRow &r : verb_table())
                if (!r.hidden) names.push_back(r.name);
            io.err << "gwcfg: unknown verb \"" << first << "\"." << did_you_mean(first, names)
                   << " Verbs: " << verb_names() << "; run gwcfg --help.\n";
            return gwcli::kExitUsage;
        }
    }
    const VerbRow &v = *inv->verb;
    const uint32_t allowed = v.options | kOptHelp;
    std::vector<std::string> positional;
    bool port_in_to = false, only_options = true;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string &word = args[i];
        if (v.hidden || !only_options || word.size() < 2 || word.compare(0, 2, "--") != 0) {
            if (word == "-h" && only_options && !v.hidden) {
                inv->help = true;
                continue;
            }
            positional.push_back(word);
            continue;
        }
        if (word == "--") {
            only_options = false;
            continue;
        }
        const size_t eq = word.find('=');
        const std::string name = word.substr(0, eq);
        const OptionRow *o = find_option(name);
        if (!o) {
            std::vector<std::string> names;
            for (const OptionRow &r : option_table())
                if (allowed & r.id) names.push_back(r.name);
            const std::string meant = closest_word(name, names);
            return usage_error(io.err, v.name,
                               "unknown option " + word +
                                   (meant.empty() ? "" : " (did you mean " + meant + "?)"));
        }
        if (!(allowed & o->id))
            return usage_error(io.err, v.name,
                               std::string(o->name) + " is not an option of " + v.name);
        if ((inv->given & o->id) && !o->repeatable)
            return usage_error(io.err, v.name,
                               std::string(o->name) + " is given twice; give it once");
        inv->given |= o->id;
        std::string value;
        if (o->value) {
            if (eq != std::string::npos) {
                value = word.substr(eq + 1);
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                return usage_error(io.err, v.name, std::string(o->name) + " needs " + o->value);
            }
        } else if (eq != std::string::npos) {
            return usage_error(io.err, v.name, std::string(o->name) + " takes no value");
        }
        std::string error;
        switch (o->id) {
            case kOptHelp:
                inv->help = true;
                break;
            case kOptListen:
            case kOptPasswordFile:
            case kOptTlsCert:
            case kOptTlsKey:
            case kOptFleetFile:
                inv->values[o->id] = value;
                break;
            case kOptAll:
                inv->all = true;
                break;
            case kOptJson:
                inv->json = true;
                break;
            case kOptKeys:
                inv->keys = true;
                break;
            case kOptDryRun:
                inv->dry_run = true;
                break;
            case kOptForce:
                inv->force = true;
                break;
            case kOptNoWait:
                inv->no_wait = true;
                break;
            case kOptVerbose:
                inv->reach.verbose = true;
                break;
            case kOptTo:
                if (!parse_to(value, inv, &port_in_to, &error))
                    return usage_error(io.err, v.name, error);
                inv->reach.every_interface = false;
                break;
            case kOptPort: {
                uint16_t port = 0;
                if (!gwcli::parse_decimal(value, uint16_t{1}, uint16_t{65535}, &port))
                    return usage_error(io.err, v.name, "--port needs a port number 1..65535");
                inv->reach.dest.sin_port = htons(port);
                break;
            }
            case kOptCapture:
                inv->reach.capture = Capture::create(value, io.err, &error);
                if (!inv->reach.capture) return usage_error(io.err, v.name, error);
                break;
            case kOptTimeout:
                if (!gwcli::parse_decimal(value, 1, 3600000, &inv->reach.timeout_ms))
                    return usage_error(io.err, v.name, "--timeout needs milliseconds, 1..3600000");
                break;
            case kOptRetries:
                if (!gwcli::parse_decimal(value, 0, 10, &inv->reach.retries))
                    return usage_error(io.err, v.name, "--retries needs a number 0..10");
                break;
            case kOptExpect:
                if (!gwcli::parse_decimal(value, size_t{1}, size_t{100000}, &inv->expect))
                    return usage_error(io.err, v.name,
                                       "--expect needs a count of gateways, 1..100000");
                break;
            case kOptOnly: {
                size_t start = 0;
                for (;;) {
                    const size_t comma = value.find(',', start);
                    const std::string section = value.substr(start, comma - start);
                    if (!valid_section(section)) {
                        std::string names;
                        for (const std::string &s : section_names())
                            if (s.find('.') == std::string::npos)
                                names += (names.empty() ? "" : ", ") + s;
                        return usage_error(
                            io.err, v.name,
                            "--only " + section + ": not a section; the sections are " + names +
                                " (or an object in them, such as SX1301_conf.radio_0)");
                    }
                    inv->only.push_back(section);
                    if (comma == std::string::npos) break;
                    start = comma + 1;
                }
                break;
            }
        }
    }
    if (port_in_to && (inv->given & kOptPort))
        return usage_error(
            io.err, v.name,
            "the port is given twice, in --to ADDR:PORT and in --port; give it once");
    if (inv->help) return gwcli::kExitOk;

    size_t at = 0;
    if (v.targets == Targets::Fleet) {
        if (inv->all) {
            Mac m;
            if (!positional.empty() && gwblock::parse_mac(positional[0], m.bytes))
                return usage_error(io.err, v.name, "give MAC addresses or --all, not both");
        } else {
            if (positional.empty())
                return usage_error(
                    io.err, v.name,
                    "the gateway's MAC address is missing (or --all for every gateway)");
            std::set<uint64_t> seen;
            for (; at < positional.size(); ++at) {
                Mac m;
                if (!gwblock::parse_mac(positional[at], m.bytes)) break;
                if (seen.insert(m.key()).second) inv->targets.push_back(m);
            }
            if (inv->targets.empty()) {
                io.err
                    << "gwcfg " << v.name << ": \"" << positional[0]
                    << "\" is not a MAC address; write it as 00:11:22:33:44:55 (gwcfg discover lists them), "
                       "or give --all.\n";
                return gwcli::kExitUsage;
            }
            if (at < positional.size() && looks_like_mac(positional[at]) &&
                std::count(positional[at].begin(), positional[at].end(), ':') >= 2) {
                io.err << "gwcfg " << v.name << ": \"" << positional[at]
                       << "\" is not a MAC address; write it as 00:11:22:33:44:55.\n";
                return gwcli::kExitUsage;
            }
        }
        if ((inv->given & kOptExpect) && !inv->all)
            return usage_error(io.err, v.name, "--expect goes with --all");
    }
    inv->rest.assign(positional.begin() + static_cast<long>(at), positional.end());
    if (inv->rest.size() < v.min_rest) {
        // The name of the first argument missing, from the usage text.
        std::vector<std::string> names;
        std::string all_names = v.rest;
        for (size_t start = 0; start < all_names.size();) {
            const size_t blank = all_names.find(' ', start);
            names.push_back(all_names.substr(start, blank - start));
            if (blank == std::string::npos) break;
            start = blank + 1;
        }
        std::string missing = names.empty() ? "an argument"
                                            : names[std::min(inv->rest.size(), names.size() - 1)];
        while (!missing.empty() && (missing.back() == '.' || missing.back() == ']'))
            missing.pop_back();
        if (!missing.empty() && missing[0] == '[') missing.erase(0, 1);
        return usage_error(io.err, v.name, missing + " is missing");
    }
    if (inv->rest.size() > v.max_rest)
        return usage_error(io.err, v.name, "unexpected argument \"" + inv->rest[v.max_rest] + "\"");
    return gwcli::kExitOk;
}

void print_main_help(std::ostream &out) {
    out << "usage: gwcfg VERB [ARGUMENTS] [OPTIONS]\n"
           "       gwcfg --version\n"
           "\n"
           "Configures LoRa gateways on the local network over the UDP configuration\n"
           "protocol. Gateways are named by their MAC address (00:11:22:33:44:55);\n"
           "--all names every gateway that answers discovery. Many gateways are\n"
           "asked at once, and a table at the end says how each one fared.\n"
           "\n"
           "verbs:\n";
    std::vector<std::pair<std::string, std::string>> rows;
    for (const VerbRow &v : verb_table())
        if (!v.hidden) rows.emplace_back(std::string(v.name) + " " + arguments_of(v), v.summary);
    print_rows(out, rows);
    out << "\noptions of the verbs that speak to gateways:\n";
    rows.clear();
    for (const OptionRow &o : kOptionRows)
        if ((o.id & (kNetworkOptions | kOptAll)) != 0) rows.emplace_back(option_usage(o), o.help);
    print_rows(out, rows);
    out << "\n"
           "exit status: 0 success, 1 a gateway did not answer, refused or failed\n"
           "verification, 2 usage error or refused input (nothing was sent).\n"
           "Run gwcfg VERB --help for a verb's arguments and options; man gwcfg.\n";
}

void print_verb_help(const VerbRow &v, std::ostream &out) {
    std::string line = "usage: gwcfg " + std::string(v.name);
    const std::string args = arguments_of(v);
    if (!args.empty()) line += " " + args;
    std::vector<std::pair<std::string, std::string>> rows;
    for (const OptionRow &o : kOptionRows) {
        if (!((v.options | kOptHelp) & o.id)) continue;
        rows.emplace_back(option_usage(o), o.help);
        if (o.id != kOptHelp && o.id != kOptAll) line += " [" + option_usage(o) + "]";
    }
    out << line << "\n\n" << v.description << "\noptions:\n";
    print_rows(out, rows);
}

void print_completions(const std::vector<std::string> &words, std::ostream &out) {
    if (words.empty()) return;
    const std::string &cur = words.back();
    std::vector<std::string> cand;
    auto emit = [&] {
        for (const std::string &c : cand)
            if (c.compare(0, cur.size(), cur) == 0) out << c << "\n";
    };
    if (words.size() == 1) {
        for (const VerbRow &v : verb_table())
            if (!v.hidden) cand.push_back(v.name);
        cand.push_back("--help");
        cand.push_back("--version");
        emit();
        return;
    }
    const VerbRow *v = find_verb(words[0]);
    if (!v || v->hidden) return;
    const std::string prev = words[words.size() - 2];
    if (const OptionRow *o = find_option(prev)) {
        if (o->value && (v->options & o->id)) {
            if (o->id == kOptOnly) {
                cand = section_names();
                emit();
            }
            if (o->id == kOptCapture) out << ":files\n";
            return;  // an address, a number: nothing to offer
        }
    }
    if (cur.compare(0, 1, "-") == 0) {
        for (const OptionRow &o : kOptionRows)
            if ((v->options | kOptHelp) & o.id) cand.push_back(o.name);
        emit();
        return;
    }
    // Where the word stands: among the targets, or after them.
    bool all = false, past_targets = v->targets != Targets::Fleet;
    size_t macs = 0;
    for (size_t i = 1; i + 1 < words.size(); ++i) {
        const OptionRow *o = find_option(words[i].substr(0, words[i].find('=')));
        if (o) {
            if (o->id == kOptAll) all = true;
            if (o->value && words[i].find('=') == std::string::npos) ++i;
            continue;
        }
        uint8_t mac[6];
        if (gwblock::parse_mac(words[i], mac) && !past_targets)
            ++macs;
        else
            past_targets = true;
    }
    if (v->targets == Targets::Fleet && !all && macs == 0)
        return;  // a MAC address: nothing known offline
    if (v->targets == Targets::Fleet && !past_targets && looks_like_mac(cur) && !cur.empty())
        return;
    const std::string name = v->name;
    if (name == "set") {
        const size_t eq = cur.find('=');
        if (eq != std::string::npos) {
            const gwblock::KeyInfo *k = gwblock::find_key(cur.substr(0, eq));
            if (k && k->kind == gwblock::ValueKind::Bool)
                cand = {k->path + "=true", k->path + "=false"};
        } else {
            for (const gwblock::KeyInfo &k : gwblock::key_table())
                if (k.writable) cand.push_back(k.path + "=");
        }
    } else if (name == "get") {
        cand = section_names();
        cand.push_back("device_info");
        for (const gwblock::KeyInfo &k : gwblock::key_table())
            cand.push_back(k.path);
    } else if (name == "apply" || name == "diff") {
        out << ":files\n";
        return;
    } else if (name == "backup") {
        out << ":dirs\n";
        return;
    } else if (name == "help") {
        for (const VerbRow &r : verb_table())
            if (!r.hidden) cand.push_back(r.name);
    }
    emit();
}

}  // namespace gwcfg
