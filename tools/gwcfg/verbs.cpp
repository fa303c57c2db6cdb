// verbs.cpp - gwcfg's command table: one row per verb with its handler, and
// the handlers. Every handler checks its input before anything is sent,
// finds its gateways with one census and asks all of them at once.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <json/reader.h>
#include <json/writer.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "cli.h"
#include "command_line.h"
#include "config_block.h"
#include "config_protocol.h"
#include "fleet.h"
#include "gwcfg.h"
#include "gwutil.h"
#include "views.h"
#include "web/web.h"

namespace gwcfg {

namespace {

using gwblock::BlockContents;
using gwblock::KeyInfo;

// Where the gwcfg package puts the documents messages cite.
constexpr const char kKeysDoc[] = "/usr/share/doc/gwcfg/keys.md";
constexpr const char kProfilesDoc[] = "/usr/share/doc/gwcfg/profiles.md";

std::string label_of(const Invocation &inv) { return std::string("gwcfg ") + inv.verb->name; }

// The options that reached the gateways, for a command printed to run
// later: " --to 10.1.2.3", " --to 10.1.2.3:5000", " --port 5000", or "".
std::string reach_options(const Invocation &inv) {
    const bool other_port = ntohs(inv.reach.dest.sin_port) != gwblock::kDefaultPort;
    if (inv.given & kOptTo)
        return " --to " +
               (other_port ? format_endpoint(inv.reach.dest) : format_address(inv.reach.dest));
    if (other_port) return " --port " + std::to_string(ntohs(inv.reach.dest.sin_port));
    return "";
}

bool one_target(const Invocation &inv) { return !inv.all && inv.targets.size() == 1; }

Json::StreamWriterBuilder json_writer(const char *indentation) {
    Json::StreamWriterBuilder w;
    w["indentation"] = indentation;
    return w;
}

// ---------------------------------------------------------------------------
// Finding the gateways

struct Located {
    Census census;
    std::vector<Mac> targets;  // as given, or every MAC that answered (sorted)
    bool partial = false;      // --all --expect N and fewer answered
};

// One census for the invocation's targets. With --all every MAC that
// answers is a target. False (with the message written and *status set)
// when nothing can be done.
bool locate(const Invocation &inv, Session &session, bool listen_full, bool change, Located *out,
            Io &io, int *status) {
    CensusGoal goal;
    goal.targets = inv.targets;
    goal.listen_full = listen_full;
    if (!session.census(goal, &out->census)) {
        *status = gwcli::kExitFailed;
        return false;
    }
    if (!inv.all) {
        out->targets = inv.targets;
        return true;
    }
    for (const auto &kv : out->census.by_mac)
        out->targets.push_back(out->census.replies[kv.second[0]].mac);
    std::sort(out->targets.begin(), out->targets.end(), [](const Mac &a, const Mac &b) {
        return a.key() < b.key();
    });
    const std::string label = label_of(inv);
    if (out->targets.empty()) {
        io.err
            << label << ": no gateway answered within " << inv.reach.timeout_ms << " ms (asked "
            << session.destination()
            << "). Check that the gateways are up and on this network, or try --to ADDR, --port N or a longer "
               "--timeout.\n";
        *status = gwcli::kExitFailed;
        return false;
    }
    if (inv.expect > 0 && out->targets.size() < inv.expect) {
        io.err << label << ": only " << out->targets.size() << " of the " << inv.expect
               << " expected gateways answered within " << inv.reach.timeout_ms << " ms"
               << (change ? "; nothing was sent to any of them" : "")
               << ". Check the missing ones, or raise --timeout.\n";
        out->partial = true;
        if (change) {
            *status = gwcli::kExitFailed;
            return false;
        }
    }
    return true;
}

// The outcome of a gateway that did not answer the census.
Outcome missing(const Invocation &inv, const Session &session, const Mac &mac) {
    Outcome o;
    o.mac = mac;
    o.result = "failed";
    o.detail = "did not answer within " + std::to_string(inv.reach.timeout_ms) + " ms";
    o.message = label_of(inv) + ": gateway " + mac.text() + " did not answer within " +
                std::to_string(inv.reach.timeout_ms) + " ms (asked " + session.destination() +
                "). Run gwcfg discover to list the gateways that answer, or raise --timeout.\n";
    return o;
}

// The outcome of a gateway that answered discovery: where it is, its name
// and the revision it had; "failed" until the verb says otherwise.
Outcome answered(const Mac &mac, const Reply &r) {
    Outcome o;
    o.mac = mac;
    o.found = true;
    o.from = r.from;
    o.name = device_name(r.contents);
    o.has_before = true;
    o.before = r.contents.revision;
    o.result = "failed";
    return o;
}

std::string sources_of(const Census &c, const std::vector<size_t> &found) {
    std::string where;
    std::set<std::string> seen;
    for (size_t i : found) {
        const std::string s = format_endpoint(c.replies[i].from);
        if (seen.insert(s).second) where += (where.empty() ? "" : ", ") + s;
    }
    return where;
}

// The reply a read-only verb uses; a MAC that answered more than once is
// warned about.
const Reply &first_reply(const Invocation &inv, const Census &c, const std::vector<size_t> &found,
                         Io &io) {
    const Reply &r = c.replies[found[0]];
    if (found.size() > 1)
        io.err << label_of(inv) << ": warning: MAC " << r.mac.text() << " answered " << found.size()
               << " times (" << sources_of(c, found) << "); this is the answer from "
               << format_endpoint(r.from) << ".\n";
    return r;
}

int open_session(Session &session) { return session.open() ? gwcli::kExitOk : gwcli::kExitFailed; }

bool is_state(const gwblock::ChangeStatus &c, gwblock::ChangeState s) {
    return c.state == static_cast<uint8_t>(s);
}

// ---------------------------------------------------------------------------
// discover

int cmd_discover(const Invocation &inv, Io &io) {
    Progress progress(io.err, io.progress);
    Session session(inv.reach, io.err, "gwcfg", &progress);
    if (open_session(session) != gwcli::kExitOk) return gwcli::kExitFailed;
    CensusGoal goal;
    goal.expect = inv.expect;
    Census census;
    if (!session.census(goal, &census)) return gwcli::kExitFailed;
    session.finish();
    std::vector<size_t> order(census.replies.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        const Reply &x = census.replies[a], &y = census.replies[b];
        if (x.mac.key() != y.mac.key()) return x.mac.key() < y.mac.key();
        return ntohl(x.from.sin_addr.s_addr) < ntohl(y.from.sin_addr.s_addr);
    });
    // Gateway IDs that gateways with different MAC addresses share. The
    // forwarder reads the ID as a hexadecimal number, so case does not
    // matter. Unset IDs are left to the rules.
    std::map<std::string, std::set<uint64_t>> macs_of_id;
    std::vector<std::string> id_of(census.replies.size());
    for (size_t i = 0; i < census.replies.size(); ++i) {
        const auto &f = census.replies[i].contents.gw.gateway_conf;
        std::string id = text_of(f.gateway_ID, sizeof f.gateway_ID);
        std::transform(id.begin(), id.end(), id.begin(), [](unsigned char c) {
            return std::toupper(c);
        });
        id_of[i] = id;
        if (!id.empty()) macs_of_id[id].insert(census.replies[i].mac.key());
    }
    auto duplicate_mac = [&](size_t i) {
        return census.find(census.replies[i].mac)->size() > 1;
    };
    auto shared_id = [&](size_t i) {
        return !id_of[i].empty() && macs_of_id[id_of[i]].size() > 1;
    };

    if (inv.json) {
        Json::Value arr(Json::arrayValue);
        for (size_t i : order) {
            const Reply &r = census.replies[i];
            const auto &f = r.contents.gw.gateway_conf;
            Json::Value g;
            g["mac"] = r.mac.text();
            g["address"] = format_address(r.from);
            g["port"] = ntohs(r.from.sin_port);
            g["device_name"] = device_name(r.contents);
            g["gateway_ID"] = text_of(f.gateway_ID, sizeof f.gateway_ID);
            g["server_address"] = text_of(f.server_address, sizeof f.server_address);
            g["revision"] = r.contents.revision;
            const gwblock::ChangeStatus &c = r.contents.change;
            Json::Value change(Json::objectValue);
            change["state"] = gwblock::change_state_word(c.state);
            if (c.state != 0) {
                change["revision"] = c.revision;
                change["reason"] = gwblock::change_reason_text(c);
                if (is_state(c, gwblock::ChangeState::Watching)) change["left"] = c.left;
            }
            g["last_change"] = change;
            g["duplicate"] = duplicate_mac(i);
            g["duplicate_gateway_ID"] = shared_id(i);
            arr.append(g);
        }
        io.out << Json::writeString(json_writer("  "), arr) << "\n";
    } else if (!order.empty()) {
        std::vector<std::vector<std::string>> rows;
        rows.push_back(
            {"MAC", "ADDRESS", "DEVICE NAME", "GATEWAY ID", "SERVER", "REVISION", "LAST CHANGE"});
        for (size_t i : order) {
            const Reply &r = census.replies[i];
            const auto &f = r.contents.gw.gateway_conf;
            std::vector<std::string> row = {r.mac.text(),
                                            format_address(r.from),
                                            or_dash(device_name(r.contents)),
                                            or_dash(text_of(f.gateway_ID, sizeof f.gateway_ID)),
                                            or_dash(
                                                text_of(f.server_address, sizeof f.server_address)),
                                            std::to_string(r.contents.revision),
                                            or_dash(change_summary(r.contents.change))};
            std::string flags;
            if (duplicate_mac(i)) flags = "DUPLICATE MAC";
            if (shared_id(i)) flags += (flags.empty() ? "" : ", ") + std::string("DUPLICATE ID");
            if (!flags.empty()) row.push_back(flags);
            rows.push_back(row);
        }
        print_table(io.out, rows);
    }
    // One warning per MAC address that answered from several places, in MAC
    // order, at most ten.
    const size_t kShown = 10;
    size_t dup_macs = 0;
    std::set<uint64_t> warned;
    for (size_t i : order) {
        const std::vector<size_t> &all = *census.find(census.replies[i].mac);
        if (all.size() < 2 || !warned.insert(census.replies[i].mac.key()).second) continue;
        if (dup_macs++ < kShown)
            io.err
                << "gwcfg: warning: MAC " << census.replies[i].mac.text() << " answered "
                << all.size() << " times (" << sources_of(census, all)
                << "): every command for it reaches all of them. Give each gateway its own MAC address.\n";
    }
    if (dup_macs > kShown)
        io.err << "gwcfg: warning: and " << dup_macs - kShown
               << " more MAC addresses answered more than once.\n";
    size_t shared = 0;
    for (const auto &kv : macs_of_id) {
        if (kv.second.size() < 2) continue;
        if (shared++ >= kShown) continue;
        std::string which;
        size_t listed = 0;
        for (uint64_t key : kv.second) {
            if (listed++ == 5) {
                which += ", ...";
                break;
            }
            Mac m;
            for (int b = 5; b >= 0; --b, key >>= 8)
                m.bytes[b] = static_cast<uint8_t>(key);
            which += (which.empty() ? "" : ", ") + m.text();
        }
        io.err
            << "gwcfg: warning: gateway ID " << kv.first << " is used by " << kv.second.size()
            << " gateways (" << which
            << "): the network server cannot tell them apart. Give each its own "
            << "gateway_conf.gateway_ID, or set it empty so that each derives one from its MAC address.\n";
    }
    if (shared > kShown)
        io.err << "gwcfg: warning: and " << shared - kShown << " more gateway IDs are shared.\n";
    if (census.replies.empty()) {
        io.err
            << "gwcfg: no gateway answered within " << inv.reach.timeout_ms << " ms (asked "
            << session.destination()
            << "). Check that the gateways are up and on this network, or try --to ADDR, --port N or a "
               "longer --timeout.\n";
        return gwcli::kExitFailed;
    }
    if (inv.expect > 0 && census.macs() < inv.expect) {
        io.err << "gwcfg: only " << census.macs() << " of the " << inv.expect
               << " expected gateways answered within " << inv.reach.timeout_ms
               << " ms. Check the missing ones, or raise --timeout.\n";
        return gwcli::kExitFailed;
    }
    return gwcli::kExitOk;
}

// ---------------------------------------------------------------------------
// show, get

int cmd_show(const Invocation &inv, Io &io) {
    Progress progress(io.err, io.progress);
    Session session(inv.reach, io.err, label_of(inv), &progress);
    if (open_session(session) != gwcli::kExitOk) return gwcli::kExitFailed;
    Located where;
    int status = gwcli::kExitOk;
    if (!locate(inv, session, false, false, &where, io, &status)) return status;
    session.finish();
    if (where.partial) status = gwcli::kExitFailed;
    Json::Value all(Json::arrayValue);
    bool first = true;
    for (const Mac &mac : where.targets) {
        const std::vector<size_t> *found = where.census.find(mac);
        if (!found) {
            io.err << missing(inv, session, mac).message;
            status = gwcli::kExitFailed;
            continue;
        }
        const Reply &r = first_reply(inv, where.census, *found, io);
        if (inv.json) {
            all.append(gwblock::to_json(r.contents));
            continue;
        }
        if (!first) io.out << "\n";
        first = false;
        if (inv.keys)
            print_keys(io.out, r);
        else
            print_page(io.out, r);
    }
    if (inv.json) {
        // One gateway: its object, which also serves as a profile.
        if (one_target(inv) && all.size() == 1)
            io.out << Json::writeString(json_writer("   "), all[0]) << "\n";
        else if (all.size() > 0 || !one_target(inv))
            io.out << Json::writeString(json_writer("   "), all) << "\n";
    }
    return status;
}

// " Did you mean KEY?" for a mistyped key (or section, for get).
std::string key_suggestion(const std::string &name, bool sections) {
    std::vector<std::string> names;
    std::set<std::string> groups;
    for (const KeyInfo &k : gwblock::key_table()) {
        names.push_back(k.path);
        for (size_t dot = k.path.find('.'); sections && dot != std::string::npos;
             dot = k.path.find('.', dot + 1))
            groups.insert(k.path.substr(0, dot));
    }
    names.insert(names.end(), groups.begin(), groups.end());
    return did_you_mean(name, names);
}

// The keys a `get` argument names: a key, or every key of a section or
// object. Empty for an unknown name.
std::vector<const KeyInfo *> keys_named(const std::string &name) {
    if (const KeyInfo *k = gwblock::find_key(name)) return {k};
    return gwblock::keys_in_section(name);
}

int cmd_get(const Invocation &inv, Io &io) {
    std::vector<const KeyInfo *> keys;
    for (const std::string &name : inv.rest) {
        std::vector<const KeyInfo *> named = keys_named(name);
        if (named.empty()) {
            io.err
                << "gwcfg get: unknown key " << name << "." << key_suggestion(name, true)
                << " Keys are global_conf.json paths such as gateway_conf.server_address, or a section such as "
                   "gateway_conf; gwcfg show MAC --keys lists them all.\n";
            return gwcli::kExitUsage;
        }
        keys.insert(keys.end(), named.begin(), named.end());
    }
    Progress progress(io.err, io.progress);
    Session session(inv.reach, io.err, label_of(inv), &progress);
    if (open_session(session) != gwcli::kExitOk) return gwcli::kExitFailed;
    Located where;
    int status = gwcli::kExitOk;
    if (!locate(inv, session, false, false, &where, io, &status)) return status;
    session.finish();
    if (where.partial) status = gwcli::kExitFailed;
    const bool one = one_target(inv);
    const bool bare = one && keys.size() == 1;  // just the value
    Json::Value json(Json::objectValue);
    std::vector<std::vector<std::string>> rows;
    for (const Mac &mac : where.targets) {
        const std::vector<size_t> *found = where.census.find(mac);
        if (!found) {
            io.err << missing(inv, session, mac).message;
            status = gwcli::kExitFailed;
            continue;
        }
        const Reply &r = first_reply(inv, where.census, *found, io);
        const Json::Value tree = gwblock::to_json(r.contents);
        Json::Value values(Json::objectValue);
        for (const KeyInfo *k : keys) {
            values[k->path] = json_at(tree, k->path);
            const std::string value = gwblock::get_value(r.contents, *k);
            if (bare)
                rows.push_back({value});
            else if (one)
                rows.push_back({k->path + "=" + value});
            else
                rows.push_back({mac.text(), keys.size() == 1 ? value : k->path + "=" + value});
        }
        if (one)
            json = values;
        else
            json[mac.text()] = values;
    }
    if (inv.json)
        io.out << Json::writeString(json_writer("  "), json) << "\n";
    else
        print_table(io.out, rows);
    return status;
}

// ---------------------------------------------------------------------------
// Files: profiles and backups

// "00-11-22-33-44-0a.json": a backup's name, the MAC address without the
// colons that scp and rsync take for a host name.
std::string backup_name(const Mac &mac) {
    std::string t = mac.text();
    std::replace(t.begin(), t.end(), ':', '-');
    return t + ".json";
}

bool read_json_file(const std::string &path, Json::Value *out, std::string *error) {
    std::ifstream in(path);
    if (!in) {
        *error = path + ": " + strerror(errno);
        return false;
    }
    Json::CharReaderBuilder b;
    std::string errs;
    if (!Json::parseFromStream(b, in, out, &errs)) {
        *error = path + ": not JSON: " + errs;
        while (!error->empty() && error->back() == '\n')
            error->pop_back();
        return false;
    }
    if (!out->isObject()) {
        *error =
            path +
            ": not a profile or backup: a JSON object with the sections of global_conf.json is needed";
        return false;
    }
    return true;
}

// The writable keys a profile or backup holds a value for.
std::vector<const KeyInfo *> keys_held(const Json::Value &profile) {
    std::vector<const KeyInfo *> out;
    for (const KeyInfo &k : gwblock::key_table())
        if (k.writable && !json_at(profile, k.path).isNull()) out.push_back(&k);
    return out;
}

// The part of a profile under the names of --only.
Json::Value only_sections(const Json::Value &profile, const std::vector<std::string> &only) {
    if (only.empty()) return profile;
    Json::Value out(Json::objectValue);
    for (const std::string &name : only) {
        const Json::Value &part = json_at(profile, name);
        if (part.isNull()) continue;
        Json::Value *node = &out;
        size_t start = 0, dot;
        while ((dot = name.find('.', start)) != std::string::npos) {
            node = &(*node)[name.substr(start, dot - start)];
            start = dot + 1;
        }
        (*node)[name.substr(start)] = part;
    }
    return out;
}

// What to change on one gateway: set's keys or a file's.
struct ChangeSource {
    // Applies the change over *io (the gateway's configuration as read).
    // False, with *why, when this gateway cannot take it.
    std::function<bool(const Mac &, BlockContents *io, std::string *why)> apply;
};

// A file (profile or backup) as apply takes it; false with the error
// written when it cannot be used at all.
bool load_profile(const Invocation &inv, const std::string &path, Json::Value *profile,
                  std::string *error) {
    Json::Value whole;
    if (!read_json_file(path, &whole, error)) return false;
    BlockContents scratch{};
    std::string why;
    if (!gwblock::apply_json_profile(whole, &scratch, &why)) {
        *error = path + ": " + why;
        return false;
    }
    *profile = only_sections(whole, inv.only);
    if (keys_held(*profile).empty()) {
        *error = path + " holds no key" +
                 (inv.only.empty() ? "" : " of the sections given with --only") +
                 ": nothing to apply";
        return false;
    }
    if (whole.isMember("device_info")) (*profile)["device_info"] = whole["device_info"];
    return true;
}

// A backup of one gateway restores that gateway; on another it would copy
// its identity, unless only sections are taken or --force is given.
bool backup_fits(const Invocation &inv, const std::string &path, const Json::Value &profile,
                 const Mac &mac, std::string *why) {
    const Json::Value &of = json_at(profile, "device_info.mac");
    Mac owner;
    if (!of.isString() || !gwblock::parse_mac(of.asString(), owner.bytes) || owner == mac ||
        !inv.only.empty() || inv.force)
        return true;
    *why =
        path + " is the backup of " + owner.text() + ": on " + mac.text() +
        " it would copy that gateway's gateway ID, device name and fixed address. Take part of it with --only "
        "SECTION, or use --force";
    return false;
}

// ---------------------------------------------------------------------------
// set, apply: one update per gateway, read back from the gateway changed,
// then the gateway's verdict on the forwarder awaited

// A change the gateway watches: where it answers, and what it said.
struct Watched {
    size_t outcome;
    Mac mac;
    sockaddr_in to, from;
    bool check_from;  // false: the gateway's address may change with the restart
    uint32_t revision;
    uint32_t left;  // seconds until the verdict, as the gateway said
};

// Ctrl-C during the wait for verdicts: the wait ends, the gateways go on.
volatile sig_atomic_t g_interrupted = 0;
void on_interrupt(int) { g_interrupted = 1; }

// The exit status of a command interrupted by Ctrl-C, as shells give it.
constexpr int kExitInterrupted = 130;

// Beyond the time the gateway gives: the forwarder's restart renews the
// DHCP lease, and eth0 has no address for some seconds meanwhile.
constexpr int kVerdictSlackS = 15;

// Asks each gateway about its watched change once a second until it says
// how it went (or the time it gave, and some, has passed), with a countdown
// on a terminal; then turns each outcome into the verdict.
// True when Ctrl-C ended the wait (the outcomes of the gateways still
// watching say so, and how to follow them up).
bool await_verdicts(const Invocation &inv, Io &io, const std::string &label,
                    const std::vector<Watched> &watched, std::vector<Outcome> *outcomes) {
    if (watched.empty()) return false;
    Reach reach = inv.reach;
    reach.timeout_ms = 1000;
    reach.retries = 0;
    Progress progress(io.err, io.progress);
    Session session(reach, io.err, label, &progress);
    if (!session.open()) {
        for (const Watched &w : watched) {
            Outcome &o = (*outcomes)[w.outcome];
            o.ok = false;
            o.result = "no verdict";
            o.detail = "cannot wait for the verdict on revision " + std::to_string(w.revision);
            o.message = label + ": " + o.detail + ". Run gwcfg show " + w.mac.text() +
                        reach_options(inv) + " to see how it went.\n";
        }
        return false;
    }
    const auto start = Clock::now();
    std::vector<Clock::time_point> due(watched.size());
    std::vector<Exchange> exchanges;
    for (size_t i = 0; i < watched.size(); ++i) {
        const Watched &w = watched[i];
        due[i] = start + std::chrono::seconds(w.left);
        Exchange x;
        x.mac = w.mac;
        x.to = w.to;
        x.check_from = w.check_from;
        x.from = w.from;
        x.probe = true;
        x.timeout_ms = static_cast<int>(std::min<uint32_t>(w.left, 86400 * 2) + kVerdictSlackS) *
                       1000;
        const uint32_t revision = w.revision;
        Clock::time_point *when = &due[i];
        x.judge = [revision, when](const Reply &r) {
            const gwblock::ChangeStatus &c = r.contents.change;
            if (c.revision == revision && is_state(c, gwblock::ChangeState::Watching)) {
                *when = Clock::now() + std::chrono::seconds(c.left);
                return Verdict::Wait;
            }
            return Verdict::Done;
        };
        exchanges.push_back(std::move(x));
    }
    const bool one = watched.size() == 1;
    g_interrupted = 0;
    struct sigaction on_int {
    }, before_int{};
    on_int.sa_handler = on_interrupt;
    sigemptyset(&on_int.sa_mask);
    sigaction(SIGINT, &on_int, &before_int);
    session.run(&exchanges, nullptr, [&] {
        long left = 0;
        size_t waiting = 0;
        const auto now = Clock::now();
        for (size_t i = 0; i < exchanges.size(); ++i) {
            if (exchanges[i].state != Exchange::State::Pending) continue;
            ++waiting;
            left = std::max<long>(
                left, static_cast<long>(
                          std::chrono::duration_cast<std::chrono::seconds>(due[i] - now).count()));
        }
        // The gateway says how long its window runs: the verdict comes
        // then at the latest, sooner when the forwarder fails.
        const std::string when = left > 0 ? "in at most " + std::to_string(left) + " s"
                                          : "any moment";
        progress.show(one ? label + ": " + watched[0].mac.text() +
                                " watches the forwarder with revision " +
                                std::to_string(watched[0].revision) + ": verdict " + when
                          : label + ": " + count_of(waiting, "gateway") +
                                (waiting == 1 ? " watches its" : " watch their") +
                                " forwarder: verdicts " + when);
        if (g_interrupted)
            for (Exchange &x : exchanges)
                if (x.state == Exchange::State::Pending) x.deadline = Clock::now();
    });
    sigaction(SIGINT, &before_int, nullptr);
    const bool interrupted = g_interrupted != 0;
    progress.clear();
    session.finish();

    for (size_t i = 0; i < watched.size(); ++i) {
        const Watched &w = watched[i];
        const Exchange &x = exchanges[i];
        Outcome &o = (*outcomes)[w.outcome];
        const std::string mac = w.mac.text(), rev = std::to_string(w.revision);
        if (x.state != Exchange::State::Done && interrupted) {
            o.ok = false;
            o.result = "interrupted";
            o.detail = "still watching revision " + rev + "; gwcfg stopped waiting";
            o.message =
                label + ": interrupted. Gateway " + mac +
                " still watches the forwarder with revision " + rev +
                ": it keeps the change if the forwarder runs through the window, and "
                "rolls it back on its own if the forwarder fails. Follow it with gwcfg show " +
                mac + reach_options(inv) + ", or keep the change now with gwcfg confirm " + mac +
                reach_options(inv) + ".\n";
            continue;
        }
        if (x.state != Exchange::State::Done) {
            o.ok = false;
            o.result = "no verdict";
            o.detail = "stored as revision " + rev + ", but no verdict on the forwarder came";
            o.message = label + ": gateway " + mac + " stored revision " + rev +
                        ", but said nothing of the forwarder within " +
                        std::to_string(x.timeout_ms / 1000) + " s. Run gwcfg show " + mac +
                        " to see the state of its last change.\n";
            continue;
        }
        const BlockContents &now = x.last.contents;
        const gwblock::ChangeStatus &c = now.change;
        o.has_after = true;
        o.after = now.revision;
        o.state = gwblock::change_state_word(c.state);
        o.change_revision = c.revision;
        const std::string reason = gwblock::change_reason_text(c);
        if (c.revision != w.revision) {
            o.ok = false;
            o.result = "no verdict";
            o.detail = "another change (revision " + std::to_string(c.revision) +
                       ") came before the verdict";
            o.message = label + ": gateway " + mac + " took another change (revision " +
                        std::to_string(c.revision) + ") before its verdict on revision " + rev +
                        ". Run gwcfg show " + mac + " to see where it stands.\n";
        } else if (is_state(c, gwblock::ChangeState::Confirmed)) {
            o.detail = "confirmed";
            o.message = mac + ": stored as revision " + rev + ", global_conf.json rewritten; " +
                        (reason.empty() ? "confirmed: the forwarder has run it for the whole window"
                                        : reason) +
                        "\n";
        } else if (is_state(c, gwblock::ChangeState::RolledBack)) {
            o.ok = false;
            o.result = "rolled back";
            o.detail = reason;
            o.message =
                label + ": gateway " + mac + " rolled back revision " + rev +
                " to the configuration before it (now revision " + std::to_string(now.revision) +
                "): " + reason +
                ". The change stops the forwarder: check the values it sets (server name, radio plan) "
                "and the forwarder's log on the gateway (journalctl -u respawner).\n";
        } else if (is_state(c, gwblock::ChangeState::Failed) && now.revision == w.revision) {
            o.ok = false;
            o.result = "failed";
            o.detail = "stops the forwarder, and there is no configuration to return to";
            o.message =
                label + ": revision " + rev + " stops the forwarder on gateway " + mac + " (" +
                reason +
                "), and the gateway has no configuration to return to: it keeps it and tries nothing more. "
                "Send it a configuration that works, for example a backup (gwcfg apply " +
                mac + " FILE).\n";
        } else if (is_state(c, gwblock::ChangeState::Failed)) {
            o.ok = false;
            o.result = "failed";
            o.detail = "rolled back, and the restored configuration failed too";
            o.message =
                label + ": gateway " + mac + " rolled back revision " + rev + " (" + reason +
                "), and the configuration it restored failed too (now revision " +
                std::to_string(now.revision) +
                "). The gateway keeps it and tries nothing more: its forwarder is down. Send it a "
                "configuration that works, for example a backup (gwcfg apply " +
                mac + " FILE).\n";
        }
    }
    return interrupted;
}

int run_change(const Invocation &inv, Io &io, const ChangeSource &source) {
    const std::string label = label_of(inv);
    Progress progress(io.err, io.progress);
    Session session(inv.reach, io.err, label, &progress);
    if (open_session(session) != gwcli::kExitOk) return gwcli::kExitFailed;
    Located where;
    int status = gwcli::kExitOk;
    // The whole timeout is spent listening, so that a MAC address answered
    // from more than one place is noticed.
    if (!locate(inv, session, true, true, &where, io, &status)) return status;

    std::vector<Outcome> outcomes(where.targets.size());
    std::vector<BlockContents> wanted(where.targets.size());
    std::vector<Exchange> exchanges;
    std::vector<size_t> exchange_of;  // outcome index of each exchange
    const bool one = one_target(inv);
    for (size_t t = 0; t < where.targets.size(); ++t) {
        const Mac &mac = where.targets[t];
        Outcome &o = outcomes[t];
        const std::vector<size_t> *found = where.census.find(mac);
        if (!found) {
            o = missing(inv, session, mac);
            continue;
        }
        const Reply &current = where.census.replies[(*found)[0]];
        o = answered(mac, current);
        bool everywhere = false;  // a duplicate MAC, forced: all of them get it
        if (found->size() > 1) {
            const std::string where_text = sources_of(where.census, *found);
            if (!inv.force) {
                o.detail = std::to_string(found->size()) + " answers for this MAC";
                o.message =
                    label + ": " + std::to_string(found->size()) + " answers for MAC " +
                    mac.text() + " (" + where_text +
                    "): an update would reach every gateway with that MAC. Nothing was sent. Address one "
                    "gateway with --to ADDR, or use --force to update them all.\n";
                continue;
            }
            io.err << label << ": warning: " << found->size() << " answers for MAC " << mac.text()
                   << " (" << where_text << "); --force: sending anyway.\n";
            everywhere = true;
        }
        BlockContents w = current.contents;
        std::string why;
        if (!source.apply(mac, &w, &why)) {
            o.refused = true;
            o.detail = why;
            o.message = label + ": " + why + ". Nothing was sent.\n";
            continue;
        }
        if (gwblock::diff_keys(current.contents, w, true).empty() && !inv.force) {
            o.ok = true;
            o.result = "unchanged";
            o.detail = "nothing to change";
            o.message = mac.text() +
                        ": nothing to change, the keys already hold these values (revision " +
                        std::to_string(current.contents.revision) +
                        "). Use --force to send the update anyway.\n";
            continue;
        }
        if (gwblock::fill_unset_gateway_id(&w))
            io.err << label << ": " << (one ? "" : mac.text() + ": ")
                   << "gateway_conf.gateway_ID is unset; setting " << w.gw.gateway_conf.gateway_ID
                   << ", derived from the MAC address.\n";
        const std::vector<gwblock::RuleFault> faults = gwblock::rule_faults(w);
        if (!faults.empty()) {
            const size_t kShown = 8;
            o.refused = true;
            o.detail = "breaks the forwarder's rules: " + faults[0].message;
            std::string m = label + ": the configuration of " + mac.text() +
                            " would break the forwarder's rules; nothing was sent:\n";
            for (size_t i = 0; i < faults.size() && i < kShown; ++i)
                m += "  " + faults[i].message + "\n";
            if (faults.size() > kShown)
                m += "  and " + std::to_string(faults.size() - kShown) + " more\n";
            // A gateway whose configuration broke the rules before the
            // change has none yet: it needs a whole plan. Otherwise the
            // change itself broke them.
            if (!gwblock::rule_faults(current.contents).empty())
                m +=
                    "Set these keys too, in the same change: a gateway without a configuration takes a whole "
                    "radio plan and server settings at once (or apply a region plan such as "
                    "/usr/share/gwcfg/profiles/eu868.json first). ";
            else
                m += "Give values that keep to these rules; the gateway keeps what it has. ";
            m += std::string(kKeysDoc) + " lists every key with its rule.\n";
            o.message = m;
            continue;
        }
        if (!gwblock::validate(w, &why)) {
            o.refused = true;
            o.detail = "not a valid configuration: " + why;
            o.message = label + ": the changed configuration of " + mac.text() +
                        " is not valid: " + why + ". Nothing was sent.\n";
            continue;
        }
        o.changes = changes_between(current.contents, w);
        wanted[t] = w;
        if (inv.dry_run) {
            o.ok = true;
            o.result = "would change";
            o.message = mac.text() + ": would change (revision " + std::to_string(o.before) +
                        "); nothing was sent\n";
            continue;
        }
        Exchange x;
        x.mac = mac;
        x.to = everywhere ? session.broadcast() : session.route_to(current.from);
        x.check_from = true;
        x.from = current.from;
        uint8_t block[gwblock::kBlockSize];
        gwblock::encode(w, block);  // carries the revision read
        x.request.resize(UPDATE_COMMAND_LEN);
        gwblock::build_update(x.request.data(), mac.bytes, block);
        x.probe = true;
        // An update has no answer; the gateway's next discovery reply shows
        // whether it took it. Still the old revision: it did not (lost or
        // refused); send it again at the next try.
        const uint32_t old_revision = current.contents.revision;
        x.judge = [old_revision](const Reply &r) {
            return r.contents.revision != old_revision ? Verdict::Done : Verdict::Resend;
        };
        exchanges.push_back(std::move(x));
        exchange_of.push_back(t);
    }

    size_t done = 0, failed = 0;
    const size_t total = exchanges.size();
    std::vector<Watched> watched;
    session.run(&exchanges, [&](const Exchange &x) {
        ++done;
        failed += x.state != Exchange::State::Done;
        progress.show(label + ": " + std::to_string(done) + "/" + count_of(total, "gateway") +
                          " done, " + std::to_string(failed) + " failed",
                      done == total);
    });
    progress.clear();
    session.finish();

    for (size_t i = 0; i < exchanges.size(); ++i) {
        const Exchange &x = exchanges[i];
        Outcome &o = outcomes[exchange_of[i]];
        const BlockContents &w = wanted[exchange_of[i]];
        const std::string mac = x.mac.text();
        if (x.state == Exchange::State::Failed) {
            o.detail = x.error;
            o.message = label + ": " + x.error + ".\n";
            continue;
        }
        if (!x.answered) {
            o.detail = "sent, but no answer to the read-back";
            o.message = label + ": the update was sent, but gateway " + mac +
                        " did not answer the read-back. Run gwcfg show " + mac +
                        " to see whether it took it.\n";
            continue;
        }
        const BlockContents &after = x.last.contents;
        o.has_after = true;
        o.after = after.revision;
        if (x.state != Exchange::State::Done) {
            o.detail = "did not take the update (still revision " + std::to_string(after.revision) +
                       ")";
            o.message =
                label + ": gateway " + mac + " did not take the update: it still reads revision " +
                std::to_string(after.revision) +
                ". It refuses blocks that fail its checks or carry a stale revision (see its log). Run "
                "gwcfg show " +
                mac + " and try again.\n";
            continue;
        }
        const std::vector<const KeyInfo *> wrong = gwblock::diff_keys(w, after, true);
        if (!wrong.empty()) {
            o.detail = "revision " + std::to_string(after.revision) +
                       " does not read back what was sent (" + wrong[0]->path + ")";
            std::string m = label + ": gateway " + mac + " is at revision " +
                            std::to_string(after.revision) +
                            " but does not read back what was sent:\n";
            for (const KeyInfo *k : wrong)
                m += "  " + k->path + ": sent " + gwblock::format_for_people(w, *k) + ", reads " +
                     gwblock::format_for_people(after, *k) + "\n";
            m += "Someone else may have changed it at the same time; run gwcfg show " + mac +
                 " and set the keys again.\n";
            o.message = m;
            continue;
        }
        if (after.revision != o.before + 1)
            io.err << label << ": warning: " << mac << ": the revision went from " << o.before
                   << " to " << after.revision << ": another change landed as well.\n";
        o.ok = true;
        o.result = "changed";
        o.message = mac + ": stored as revision " + std::to_string(after.revision) +
                    ", global_conf.json rewritten\n";
        const gwblock::ChangeStatus &c = after.change;
        if (c.revision != after.revision || !is_state(c, gwblock::ChangeState::Watching)) continue;
        o.state = gwblock::change_state_word(c.state);
        o.change_revision = c.revision;
        // The restart moves a gateway whose network mode or fixed address
        // changed: it is followed through the broadcast destination, and
        // not at all through one address.
        bool moves = false;
        for (const Change &ch : o.changes)
            moves = moves || ch.key == "serverIP_conf.networkmode" ||
                    ch.key.rfind("serverIP_conf.fixed_", 0) == 0;
        if (moves && inv.reach.unicast && !inv.no_wait) {
            o.detail = "watching; its address changes, so the verdict was not awaited";
            o.message =
                mac + ": stored as revision " + std::to_string(after.revision) +
                ", global_conf.json rewritten; the gateway watches the forwarder with it, but its address "
                "changes with the restart, so gwcfg cannot wait for the verdict at " +
                format_address(inv.reach.dest) + ": gwcfg discover tells it\n";
            continue;
        }
        if (inv.no_wait) {
            o.detail = "watching, verdict in " + std::to_string(c.left) + " s";
            o.message =
                mac + ": stored as revision " + std::to_string(after.revision) +
                ", global_conf.json rewritten; the gateway watches the forwarder with it for up to " +
                std::to_string(c.left) + " s (gwcfg show " + mac + " tells the verdict)\n";
        }
        watched.push_back(Watched{exchange_of[i], x.mac,
                                  moves ? session.broadcast() : session.route_to(x.last.from),
                                  x.last.from, !moves, after.revision, c.left});
    }
    const bool interrupted = !inv.no_wait && await_verdicts(inv, io, label, watched, &outcomes);
    print_outcomes(io.out, io.err, label, outcomes, one, inv.json);
    return interrupted ? kExitInterrupted : exit_status(outcomes);
}

int cmd_set(const Invocation &inv, Io &io) {
    // Every assignment is checked before anything goes out.
    std::vector<std::pair<std::string, std::string>> assignments;
    std::set<std::string> seen;
    for (const std::string &a : inv.rest) {
        const size_t eq = a.find('=');
        if (eq == std::string::npos || eq == 0) {
            io.err << "gwcfg set: \"" << a
                   << "\" is not KEY=VALUE (for example gateway_conf.server_address="
                   << "router.example.net). Run gwcfg set --help.\n";
            return gwcli::kExitUsage;
        }
        const std::string key = a.substr(0, eq), value = a.substr(eq + 1);
        if (!seen.insert(key).second) {
            io.err << "gwcfg set: " << key << " is given twice; give each key once.\n";
            return gwcli::kExitUsage;
        }
        BlockContents scratch{};
        std::string fault;
        const bool parsed = gwblock::set_value(&scratch, key, value, &fault);
        gwblock::fill_unset_gateway_id(&scratch);  // empty: derived from the MAC address later
        if (parsed && !gwblock::check_key_rule(scratch, *gwblock::find_key(key), &fault)) {
            io.err << "gwcfg set: " << fault << ". Nothing was sent. " << kKeysDoc
                   << " lists every key with its rule.\n";
            return gwcli::kExitUsage;
        }
        if (!parsed) {
            const KeyInfo *k = gwblock::find_key(key);
            io.err << "gwcfg set: " << fault << ". Nothing was sent. ";
            const std::string meant = k ? "" : key_suggestion(key, false);
            if (!meant.empty()) io.err << meant.substr(1) << " ";
            if (!k)
                io.err
                    << "Keys are global_conf.json paths such as gateway_conf.server_address; gwcfg show MAC "
                       "--keys lists them all.\n";
            else if (!k->writable)
                io.err << "Only the SX1301_conf, gateway_conf and serverIP_conf keys can be set.\n";
            else
                io.err << "Give a value that fits the key.\n";
            return gwcli::kExitUsage;
        }
        assignments.emplace_back(key, value);
    }
    for (const auto &a : assignments) {
        const KeyInfo *k = gwblock::find_key(a.first);
        // The device name is the gateway's own: discover and show list it.
        if (k->forwarder_reads || k->path == "serverIP_conf.server_name") continue;
        io.err << "gwcfg set: warning: " << k->path
               << (k->in_global_conf
                       ? " is written to global_conf.json, but the forwarder never reads it.\n"
                       : " is kept by the gateway, but never written to global_conf.json: the "
                         "forwarder never reads it.\n");
    }
    ChangeSource source;
    source.apply = [&assignments](const Mac &, BlockContents *io, std::string *why) {
        for (const auto &a : assignments)
            if (!gwblock::set_value(io, a.first, a.second, why)) return false;  // checked above
        return true;
    };
    return run_change(inv, io, source);
}

int cmd_apply(const Invocation &inv, Io &io) {
    const std::string path = inv.rest[0];
    struct stat st {};
    const bool directory = stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    ChangeSource source;
    Json::Value profile;
    if (!directory) {
        std::string error;
        if (!load_profile(inv, path, &profile, &error)) {
            io.err << "gwcfg apply: " << error
                   << ". Nothing was sent. A profile holds the sections of "
                   << "global_conf.json (" << kProfilesDoc
                   << "); a backup is what gwcfg backup or gwcfg show --json "
                      "writes.\n";
            return gwcli::kExitUsage;
        }
        source.apply = [&inv, &profile, path](const Mac &mac, BlockContents *io, std::string *why) {
            if (!backup_fits(inv, path, profile, mac, why)) return false;
            return gwblock::apply_json_profile(profile, io, why);
        };
    } else {
        // A directory of backups: each gateway takes its own.
        source.apply = [&inv, path](const Mac &mac, BlockContents *io, std::string *why) {
            const std::string file = path + "/" + backup_name(mac);
            Json::Value own;
            if (!load_profile(inv, file, &own, why)) return false;
            if (!backup_fits(inv, file, own, mac, why)) return false;
            return gwblock::apply_json_profile(own, io, why);
        };
    }
    return run_change(inv, io, source);
}

// ---------------------------------------------------------------------------
// backup, diff

bool make_directory(const std::string &dir, std::string *error) {
    std::string partial;
    size_t start = 0;
    while (start <= dir.size()) {
        const size_t slash = dir.find('/', start);
        partial = dir.substr(0, slash);
        if (!partial.empty() && mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) {
            *error = "cannot create " + partial + ": " + strerror(errno);
            return false;
        }
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = dir + " is not a directory";
        return false;
    }
    return true;
}

int cmd_backup(const Invocation &inv, Io &io) {
    const std::string label = label_of(inv);
    std::string dir = inv.rest[0];
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    std::string error;
    if (!make_directory(dir, &error)) {
        io.err << label << ": " << error << ". Give a directory this account can write to.\n";
        return gwcli::kExitUsage;
    }
    Progress progress(io.err, io.progress);
    Session session(inv.reach, io.err, label, &progress);
    if (open_session(session) != gwcli::kExitOk) return gwcli::kExitFailed;
    Located where;
    int status = gwcli::kExitOk;
    if (!locate(inv, session, false, false, &where, io, &status)) return status;
    session.finish();
    std::vector<Outcome> outcomes;
    for (const Mac &mac : where.targets) {
        const std::vector<size_t> *found = where.census.find(mac);
        if (!found) {
            outcomes.push_back(missing(inv, session, mac));
            continue;
        }
        const Reply &r = first_reply(inv, where.census, *found, io);
        Outcome o = answered(mac, r);
        const std::string path = dir + "/" + backup_name(mac);
        if (!gwutil::replace_file(
                path, Json::writeString(json_writer("   "), gwblock::to_json(r.contents)) + "\n",
                &error)) {
            o.result = "failed";
            o.detail = error;
            o.message = label + ": " + error + ". Check the directory, then try again.\n";
        } else {
            o.ok = true;
            o.result = "saved";
            o.path = path;
            o.message = "saved " + mac.text() + " (revision " +
                        std::to_string(r.contents.revision) + ") to " + path +
                        "; restore it with gwcfg apply " + mac.text() + " " + path +
                        reach_options(inv) + "\n";
        }
        outcomes.push_back(o);
    }
    print_outcomes(io.out, io.err, label, outcomes, one_target(inv), inv.json);
    const int result = exit_status(outcomes);
    return result != gwcli::kExitOk ? result
                                    : (where.partial ? gwcli::kExitFailed : gwcli::kExitOk);
}

// One side of a diff: a gateway or a file.
struct Side {
    std::string label;
    bool gateway = false;
    Mac mac{};
    BlockContents contents{};
    std::vector<const KeyInfo *> held;  // the writable keys it holds
};

int cmd_diff(const Invocation &inv, Io &io) {
    const std::string label = label_of(inv);
    Side sides[2];
    std::vector<Mac> macs;
    for (int i = 0; i < 2; ++i) {
        Side &s = sides[i];
        s.label = inv.rest[i];
        if (gwblock::parse_mac(s.label, s.mac.bytes)) {
            s.gateway = true;
            s.label = s.mac.text();
            macs.push_back(s.mac);
            continue;
        }
        Json::Value profile;
        std::string error;
        if (!read_json_file(s.label, &profile, &error) ||
            !gwblock::apply_json_profile(profile, &s.contents, &error)) {
            io.err
                << label << ": " << error
                << ". Compare gateways (MAC addresses) and files (profiles, backups) two at a time.\n";
            return gwcli::kExitUsage;
        }
        s.held = keys_held(profile);
    }
    if (!macs.empty()) {
        Progress progress(io.err, io.progress);
        Session session(inv.reach, io.err, label, &progress);
        if (open_session(session) != gwcli::kExitOk) return gwcli::kExitFailed;
        Invocation located = inv;
        located.targets = macs;
        Located where;
        int status = gwcli::kExitOk;
        if (!locate(located, session, false, false, &where, io, &status)) return status;
        session.finish();
        for (Side &s : sides) {
            if (!s.gateway) continue;
            const std::vector<size_t> *found = where.census.find(s.mac);
            if (!found) {
                io.err << missing(inv, session, s.mac).message;
                return gwcli::kExitFailed;
            }
            s.contents = first_reply(located, where.census, *found, io).contents;
            for (const KeyInfo &k : gwblock::key_table())
                if (k.writable) s.held.push_back(&k);
        }
    }
    std::set<const KeyInfo *> in_b(sides[1].held.begin(), sides[1].held.end());
    size_t compared = 0;
    std::vector<std::vector<std::string>> rows;
    Json::Value json(Json::arrayValue);
    Json::Value trees[2];
    rows.push_back({"KEY", sides[0].label, sides[1].label});
    for (const KeyInfo *k : sides[0].held) {
        if (!in_b.count(k)) continue;
        ++compared;
        if (gwblock::get_value(sides[0].contents, *k) == gwblock::get_value(sides[1].contents, *k))
            continue;
        const std::string a = gwblock::format_for_people(sides[0].contents, *k),
                          b = gwblock::format_for_people(sides[1].contents, *k);
        rows.push_back({k->path, or_dash(a), or_dash(b)});
        if (trees[0].isNull())
            for (int i = 0; i < 2; ++i)
                trees[i] = gwblock::to_json(sides[i].contents);
        Json::Value d;
        d["key"] = k->path;
        d["a"] = json_at(trees[0], k->path);
        d["b"] = json_at(trees[1], k->path);
        json.append(d);
    }
    if (inv.json) {
        io.out << Json::writeString(json_writer("  "), json) << "\n";
    } else if (rows.size() == 1) {
        io.out << "no differences in the " << compared << " keys both hold\n";
    } else {
        print_table(io.out, rows);
        io.out << rows.size() - 1 << " of the " << compared << " keys both hold differ\n";
    }
    if (compared == 0)
        io.err << label << ": warning: " << sides[0].label << " and " << sides[1].label
               << " hold no key in common.\n";
    return gwcli::kExitOk;
}

// ---------------------------------------------------------------------------
// timesync, reboot, clear

// A text the gateway lets through to `date -s` and that fits the argument
// field: not empty, date characters only.
bool date_text_ok(const std::string &t) {
    return !t.empty() && t.size() <= gwproto::kArgumentTextMax && gwproto::is_date_text(t.c_str());
}

// Finds the gateways, then sends each one command that has no answer.
int send_unanswered(const Invocation &inv, Io &io, const char *command, const std::string &argument,
                    const char *note) {
    const std::string label = label_of(inv);
    Progress progress(io.err, io.progress);
    Session session(inv.reach, io.err, label, &progress);
    if (open_session(session) != gwcli::kExitOk) return gwcli::kExitFailed;
    Located where;
    int status = gwcli::kExitOk;
    if (!locate(inv, session, false, true, &where, io, &status)) return status;
    std::vector<Outcome> outcomes;
    std::vector<Exchange> exchanges;
    std::vector<size_t> exchange_of;
    for (const Mac &mac : where.targets) {
        const std::vector<size_t> *found = where.census.find(mac);
        if (!found) {
            outcomes.push_back(missing(inv, session, mac));
            continue;
        }
        const Reply &r = first_reply(inv, where.census, *found, io);
        Outcome o = answered(mac, r);
        Exchange x;
        x.mac = mac;
        x.to = found->size() > 1 ? session.broadcast() : session.route_to(r.from);
        x.request.resize(MESSAGE_COMMAND_LEN);
        gwblock::build_command(x.request.data(), mac.bytes, command,
                               argument.c_str());  // lengths checked
        exchange_of.push_back(outcomes.size());
        exchanges.push_back(std::move(x));
        outcomes.push_back(o);
    }
    session.run(&exchanges, nullptr);
    session.finish();
    for (size_t i = 0; i < exchanges.size(); ++i) {
        Outcome &o = outcomes[exchange_of[i]];
        const Exchange &x = exchanges[i];
        if (x.state != Exchange::State::Done) {
            o.detail = x.error;
            o.message = label + ": " + x.error + ".\n";
            continue;
        }
        o.ok = true;
        o.result = "sent";
        o.message = std::string("sent ") + command +
                    (argument.empty() ? "" : " \"" + argument + "\"") + " to " + o.mac.text() +
                    " (at " + format_address(o.from) + ")\n" + note;
    }
    print_outcomes(io.out, io.err, label, outcomes, one_target(inv), inv.json);
    if (!one_target(inv) && !inv.json && exit_status(outcomes) == gwcli::kExitOk) io.out << note;
    return exit_status(outcomes);
}

int cmd_timesync(const Invocation &inv, Io &io) {
    // Seconds since the epoch are the same in every time zone; a local time
    // without its zone would set a gateway in another zone hours wrong.
    const std::string text = inv.rest.empty()
                                 ? "@" + std::to_string(static_cast<long long>(time(nullptr)))
                                 : inv.rest[0];
    if (!date_text_ok(text)) {
        io.err
            << "gwcfg timesync: \"" << text
            << "\" is not a date text: give at most 19 characters of digits, letters, blanks and : - / . + , @ "
               "such as \"@1796641933\" or \"20261207 11:12:13\", or leave it out for the time now.\n";
        return gwcli::kExitUsage;
    }
    return send_unanswered(inv, io, gwproto::kCommandTimeSync, text, "");
}

int cmd_reboot(const Invocation &inv, Io &io) {
    return send_unanswered(inv, io, gwproto::kCommandReboot, "",
                           "The gateway only logs Reboot: it does not restart.\n");
}

int cmd_clear(const Invocation &inv, Io &io) {
    const std::string label = label_of(inv);
    Progress progress(io.err, io.progress);
    Session session(inv.reach, io.err, label, &progress);
    if (open_session(session) != gwcli::kExitOk) return gwcli::kExitFailed;
    // MAC addresses given: the command goes where discovery would; --all:
    // to every gateway that answers, where it answered from.
    Located where;
    if (inv.all) {
        int status = gwcli::kExitOk;
        if (!locate(inv, session, false, true, &where, io, &status)) return status;
    } else {
        where.targets = inv.targets;
    }
    std::vector<Exchange> exchanges;
    for (const Mac &mac : where.targets) {
        Exchange x;
        x.mac = mac;
        x.to = session.broadcast();
        if (const std::vector<size_t> *found = where.census.find(mac)) {
            x.to = session.route_to(where.census.replies[(*found)[0]].from);
            x.check_from = true;
            x.from = where.census.replies[(*found)[0]].from;
        } else if (inv.reach.unicast) {
            x.check_from = true;
            x.from = inv.reach.dest;
        }
        x.request.resize(MESSAGE_COMMAND_LEN);
        gwblock::build_command(x.request.data(), mac.bytes, gwproto::kCommandClear, "");
        x.repeat = true;
        x.await_ack = true;
        exchanges.push_back(std::move(x));
    }
    session.run(&exchanges, nullptr);
    session.finish();
    std::vector<Outcome> outcomes;
    for (const Exchange &x : exchanges) {
        Outcome o;
        o.mac = x.mac;
        if (const std::vector<size_t> *found = where.census.find(x.mac)) {
            o.found = true;
            o.from = where.census.replies[(*found)[0]].from;
            o.name = device_name(where.census.replies[(*found)[0]].contents);
        }
        if (x.state == Exchange::State::Done) {
            o.ok = true;
            o.found = true;
            o.from = x.last.from;
            o.result = "acknowledged";
            o.message =
                x.mac.text() + " acknowledged ClrCfgBuf (ReceiveConfig, from " +
                format_address(x.last.from) +
                ")\nThe acknowledgement is all: the gateway cleared nothing, its configuration is "
                "unchanged.\n";
        } else {
            o.result = "failed";
            o.detail = x.error.empty() ? "no acknowledgement within " +
                                             std::to_string(inv.reach.timeout_ms) + " ms"
                                       : x.error;
            o.message = x.error.empty()
                            ? label + ": no acknowledgement from " + x.mac.text() + " within " +
                                  std::to_string(inv.reach.timeout_ms) + " ms (asked " +
                                  format_endpoint(x.to) +
                                  "). Check the MAC with gwcfg discover, or raise --timeout.\n"
                            : label + ": " + x.error + ".\n";
        }
        outcomes.push_back(o);
    }
    print_outcomes(io.out, io.err, label, outcomes, one_target(inv), inv.json);
    if (!one_target(inv) && !inv.json && exit_status(outcomes) == gwcli::kExitOk)
        io.out << "The acknowledgements are all: the gateways cleared nothing.\n";
    return exit_status(outcomes);
}

// ---------------------------------------------------------------------------
// confirm

// How long confirm keeps asking when --timeout is not given: a forwarder
// restart (stop, lease renewal, launch) takes a few seconds.
constexpr int kConfirmWaitMs = 10000;

int cmd_confirm(const Invocation &inv, Io &io) {
    const std::string label = label_of(inv);
    Progress progress(io.err, io.progress);
    Session session(inv.reach, io.err, label, &progress);
    if (open_session(session) != gwcli::kExitOk) return gwcli::kExitFailed;
    Located where;
    int status = gwcli::kExitOk;
    if (!locate(inv, session, false, true, &where, io, &status)) return status;
    std::vector<Outcome> outcomes;
    std::vector<Exchange> exchanges;
    std::vector<size_t> exchange_of;
    for (const Mac &mac : where.targets) {
        const std::vector<size_t> *found = where.census.find(mac);
        if (!found) {
            outcomes.push_back(missing(inv, session, mac));
            continue;
        }
        const Reply &r = first_reply(inv, where.census, *found, io);
        const gwblock::ChangeStatus &c = r.contents.change;
        Outcome o = answered(mac, r);
        o.state = gwblock::change_state_word(c.state);
        o.change_revision = c.revision;
        if (is_state(c, gwblock::ChangeState::Confirmed)) {
            o.ok = true;
            o.result = "confirmed";
            o.detail = "confirmed already";
            o.message = mac.text() + ": revision " + std::to_string(c.revision) +
                        " is confirmed already\n";
            outcomes.push_back(o);
            continue;
        }
        if (!is_state(c, gwblock::ChangeState::Watching)) {
            const std::string last = c.state == 0 ? "not watched" : change_summary(c);
            o.detail = "no change is being watched (last change: " + last + ")";
            o.message =
                label + ": gateway " + mac.text() + " watches no change (its last change: " + last +
                "); nothing was sent. Confirm a change while gwcfg show says it is watching.\n";
            outcomes.push_back(o);
            continue;
        }
        Exchange x;
        x.mac = mac;
        x.to = found->size() > 1 ? session.broadcast() : session.route_to(r.from);
        x.check_from = true;
        x.from = r.from;
        x.request.resize(MESSAGE_COMMAND_LEN);
        // The revision watched: a Confirm that comes late cannot confirm
        // another change.
        gwblock::build_confirm(x.request.data(), mac.bytes, c.revision);
        x.probe = true;
        // The gateway takes a Confirm only once a forwarder that started
        // with the change runs: right after a change that is a restart
        // away, so keep asking for a while unless told otherwise.
        if (!(inv.given & kOptTimeout)) x.timeout_ms = kConfirmWaitMs;
        const uint32_t revision = c.revision;
        x.judge = [revision](const Reply &reply) {
            const gwblock::ChangeStatus &now = reply.contents.change;
            return now.revision == revision && is_state(now, gwblock::ChangeState::Watching)
                       ? Verdict::Resend
                       : Verdict::Done;
        };
        exchange_of.push_back(outcomes.size());
        exchanges.push_back(std::move(x));
        outcomes.push_back(o);
    }
    session.run(&exchanges, nullptr);
    session.finish();
    for (size_t i = 0; i < exchanges.size(); ++i) {
        const Exchange &x = exchanges[i];
        Outcome &o = outcomes[exchange_of[i]];
        const std::string mac = x.mac.text(), rev = std::to_string(o.change_revision);
        if (x.state != Exchange::State::Done) {
            o.detail = x.error.empty() ? "revision " + rev + " still watched" : x.error;
            const int waited = x.timeout_ms > 0 ? x.timeout_ms : inv.reach.timeout_ms;
            o.message = x.error.empty()
                            ? label + ": gateway " + mac + " still watches revision " + rev +
                                  " after " + std::to_string(waited) +
                                  " ms: it takes a Confirm only from the host that sent the "
                                  "change, once a forwarder that started with it runs. Try "
                                  "again, or raise --timeout.\n"
                            : label + ": " + x.error + ".\n";
            continue;
        }
        const gwblock::ChangeStatus &c = x.last.contents.change;
        o.state = gwblock::change_state_word(c.state);
        o.has_after = true;
        o.after = x.last.contents.revision;
        if (c.revision == o.change_revision && is_state(c, gwblock::ChangeState::Confirmed)) {
            o.ok = true;
            o.result = "confirmed";
            o.message = mac + ": revision " + rev +
                        " confirmed; the gateway no longer keeps the configuration before it\n";
            continue;
        }
        o.change_revision = c.revision;
        o.detail = "not confirmed: the last change is " +
                   (c.state == 0 ? std::string("not watched") : change_summary(c));
        o.message = label + ": gateway " + mac + " did not confirm revision " + rev +
                    ": its last change is " +
                    (c.state == 0 ? std::string("not watched") : change_summary(c)) +
                    ". Run gwcfg show " + mac + ".\n";
    }
    print_outcomes(io.out, io.err, label, outcomes, one_target(inv), inv.json);
    return exit_status(outcomes);
}

// ---------------------------------------------------------------------------
// help, __complete

int cmd_help(const Invocation &inv, Io &io) {
    if (inv.rest.empty()) {
        print_main_help(io.out);
        return gwcli::kExitOk;
    }
    const VerbRow *v = find_verb(inv.rest[0]);
    if (!v || v->hidden) {
        io.err << "gwcfg help: unknown verb \"" << inv.rest[0] << "\"; run gwcfg --help.\n";
        return gwcli::kExitUsage;
    }
    print_verb_help(*v, io.out);
    return gwcli::kExitOk;
}

int cmd_complete(const Invocation &inv, Io &io) {
    print_completions(inv.rest, io.out);
    return gwcli::kExitOk;
}

// ---------------------------------------------------------------------------
// The table

constexpr uint32_t kFleet = kOptAll | kOptExpect | kNetworkOptions;

const std::vector<VerbRow> kVerbRows = {
    {"discover", Targets::None, "", 0, 0, kNetworkOptions | kOptExpect | kOptJson,
     "list the gateways that answer",
     "Sends discovery requests and lists every gateway that answers within the\n"
     "timeout: MAC, address, device name, gateway ID, server, revision and the\n"
     "state of the last change (watching, confirmed, rolled back, failed).\n"
     "Replies with a bad checksum or an invalid block are reported and left\n"
     "out; a MAC address that answers more than once is flagged, and so is a\n"
     "gateway ID that gateways with different MAC addresses share.\n",
     cmd_discover, false},
    {"show", Targets::Fleet, "", 0, 0, kFleet | kOptJson | kOptKeys,
     "print gateways' configuration",
     "Prints a gateway's configuration as a page: identity and network, server\n"
     "settings, the radios, the channels with their absolute frequencies, the\n"
     "TX power table. --keys prints every key as KEY=VALUE (keys named as in\n"
     "global_conf.json; \"device_info\" keys are read-only views); --json\n"
     "prints one JSON object (an array for several gateways) that gwcfg apply\n"
     "takes back.\n",
     cmd_show, false},
    {"get", Targets::Fleet, "KEY...", 1, SIZE_MAX, kFleet | kOptJson, "print the values of keys",
     "Prints the values of keys: for one gateway and one key the value alone,\n"
     "otherwise KEY=VALUE lines, led by the MAC address for several gateways.\n"
     "A KEY may also name a section or object (gateway_conf, SX1301_conf.radio_0)\n"
     "for all of its keys.\n",
     cmd_get, false},
    {"set", Targets::Fleet, "KEY=VALUE...", 1, SIZE_MAX,
     kFleet | kOptForce | kOptDryRun | kOptNoWait | kOptJson,
     "change keys, checked against the forwarder's rules",
     "Reads each gateway's configuration, changes the keys given, checks the\n"
     "whole configuration against the packet forwarder's rules, sends one\n"
     "update per gateway with the revision read, then reads it back from the\n"
     "gateway that was changed and verifies it. Prints every key it changed\n"
     "as KEY: OLD -> NEW. Keys are global_conf.json paths, for example\n"
     "  gateway_conf.server_address=router.example.net\n"
     "  SX1301_conf.radio_0.freq=867.5MHz   (or 867500000, in Hz)\n"
     "  serverIP_conf.fixed_ip=192.168.0.20\n"
     "Unknown keys, read-only keys, bad values and a configuration the\n"
     "forwarder would refuse are refused (exit 2) before anything is sent to\n"
     "that gateway; a gateway without a configuration takes a whole radio plan\n"
     "and server settings in one set. Keys the forwarder never reads are\n"
     "warned about. An empty gateway_conf.gateway_ID is derived from the MAC\n"
     "address. /usr/share/doc/gwcfg/keys.md lists every key with its rule. The\n"
     "whole timeout is spent listening on the first read, so that a MAC address\n"
     "that several gateways answer for is noticed.\n"
     "A gateway that restarts its forwarder with the change watches it for a\n"
     "confirmation window (60 s by default) and rolls the change back when the\n"
     "forwarder does not start or exits. set waits for that verdict, with a\n"
     "countdown on a terminal, and exits 1 with the reason when the change was\n"
     "rolled back; --no-wait returns once the change is stored.\n",
     cmd_set, false},
    {"apply", Targets::Fleet, "FILE", 1, 1,
     kFleet | kOptOnly | kOptForce | kOptDryRun | kOptNoWait | kOptJson,
     "apply a profile or a backup",
     "Applies a profile (JSON with sections of global_conf.json, such as the\n"
     "region plans in /usr/share/gwcfg/profiles) or a backup (what gwcfg\n"
     "backup and gwcfg show --json write; its device_info is ignored) as one\n"
     "update per gateway, checked and read back as set does, and prints the\n"
     "change key by key (KEY: OLD -> NEW). Only the keys the file holds change:\n"
     "a region plan leaves the server settings alone. FILE may be a directory\n"
     "of backups: each gateway then takes its own (MAC.json). A backup restores\n"
     "the gateway it was taken from; on another one it is refused unless\n"
     "--only or --force is given. Like set, it waits for the gateway's verdict\n"
     "on the forwarder (exit 1 when the change was rolled back) unless\n"
     "--no-wait is given.\n",
     cmd_apply, false},
    {"confirm", Targets::Fleet, "", 0, 0, kFleet | kOptJson, "confirm a watched change now",
     "Ends the confirmation window of the change a gateway watches, for an\n"
     "operator who has checked the forwarder by other means: the gateway keeps\n"
     "the change and no longer returns to the configuration before it. The\n"
     "Confirm command names the revision watched, so it cannot confirm a later\n"
     "change. A gateway that watches no change is told nothing (exit 1; a\n"
     "change confirmed already counts as done).\n",
     cmd_confirm, false},
    {"backup", Targets::Fleet, "DIR", 1, 1, kFleet | kOptJson,
     "save each gateway's configuration to a file",
     "Writes one JSON file per gateway into DIR (created if missing), named by\n"
     "its MAC address (00-11-22-33-44-0a.json), replacing an older one whole.\n"
     "gwcfg apply MAC FILE restores it; gwcfg apply --all DIR restores a fleet.\n",
     cmd_backup, false},
    {"diff", Targets::Pair, "A B", 2, 2, kNetworkOptions | kOptJson,
     "compare two gateways or files",
     "Compares the configuration of A and B, each a gateway (MAC address) or a\n"
     "file (profile or backup), key by key: the keys both hold and that differ.\n"
     "device_info is not compared. Exit 0 whether they differ or not; --json\n"
     "gives the differences as an array for scripts.\n",
     cmd_diff, false},
    {"timesync", Targets::Fleet, "[TEXT]", 0, 1, kFleet | kOptJson, "set gateways' clocks",
     "Sets the clock with TimeSync. TEXT is what the gateway's date command\n"
     "accepts after -s, at most 19 characters of digits, letters, blanks and\n"
     ": - / . + , @. The default is \"@SECONDS\", the seconds since the epoch\n"
     "now, which mean the same in every time zone. The gateways are looked up\n"
     "first; TimeSync has no answer of its own.\n",
     cmd_timesync, false},
    {"clear", Targets::Fleet, "", 0, 0, kFleet | kOptJson,
     "send ClrCfgBuf and wait for the acknowledgement",
     "Sends ClrCfgBuf and waits for each gateway's acknowledgement\n"
     "(\"ReceiveConfig\"). The acknowledgement is all: the gateway clears\n"
     "nothing and its configuration stays as it is.\n",
     cmd_clear, false},
    {"reboot", Targets::Fleet, "", 0, 0, kFleet | kOptJson,
     "send Reboot (the gateway only logs it)",
     "Looks the gateways up, then sends each the Reboot command. Reboot has no\n"
     "answer, and the gateway only logs it: it does not restart.\n",
     cmd_reboot, false},
    {"web", Targets::None, "", 0, 0,
     kNetworkOptions | kOptListen | kOptPasswordFile | kOptTlsCert | kOptTlsKey | kOptFleetFile,
     "show the fleet in a browser",
     "Serves the fleet in a web browser on this machine (default\n"
     "http://127.0.0.1:8480/): every gateway that answers discovery, online,\n"
     "offline or never seen, with its last change and verdict; per gateway its\n"
     "configuration as show prints it, a form to change keys (checked against\n"
     "the forwarder's rules before anything is sent), backup, apply and\n"
     "confirm. Bound to another address than loopback it asks for a login (a\n"
     "token printed at start, or --password-file); --tls-cert and --tls-key add TLS.\n"
     "Runs until Ctrl-C. /usr/share/doc/gwcfg/web.md describes the pages.\n",
     cmd_web, false},
    {"help", Targets::None, "[VERB]", 0, 1, 0, "help on gwcfg or on one verb",
     "Prints the help of gwcfg, or of one verb (as gwcfg VERB --help does).\n", cmd_help, false},
    {"__complete", Targets::None, "WORD...", 0, SIZE_MAX, 0, "", "", cmd_complete, true},
};

}  // namespace

const std::vector<VerbRow> &verb_table() { return kVerbRows; }

namespace {

// Passes everything on to another stream buffer; keeps a copy (err) or
// only counts (out).
class Tap : public std::streambuf {
public:
    Tap(std::streambuf *to, bool keep) : to_(to), keep_(keep) {}
    const std::string &kept() const { return kept_; }
    size_t count() const { return count_; }

protected:
    int overflow(int c) override {
        if (c == traits_type::eof()) return traits_type::not_eof(c);
        const char ch = static_cast<char>(c);
        return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
    }
    std::streamsize xsputn(const char *s, std::streamsize n) override {
        count_ += static_cast<size_t>(n);
        if (keep_) kept_.append(s, static_cast<size_t>(n));
        return to_->sputn(s, n);
    }
    int sync() override { return to_->pubsync(); }

private:
    std::streambuf *to_;
    bool keep_;
    std::string kept_;
    size_t count_ = 0;
};

// What err said, for the error object: each line as it stayed on the
// screen (a progress line ends cleared), warnings left out.
std::string error_text(const std::string &err) {
    std::string text;
    std::istringstream in(err);
    std::string line;
    while (std::getline(in, line)) {
        const size_t clear = line.rfind("\033[K");
        if (clear != std::string::npos) line = line.substr(clear + 3);
        if (line.empty() || line.find(": warning: ") != std::string::npos) continue;
        text += (text.empty() ? "" : "\n") + line;
    }
    return text;
}

int run_command(const std::vector<std::string> &args, Io &io) {
    std::ostream &out = io.out;
    Invocation inv;
    const int status = parse_command_line(args, &inv, io);
    if (status != gwcli::kExitOk || inv.version) return status;
    if (inv.help) {
        if (inv.verb)
            print_verb_help(*inv.verb, out);
        else
            print_main_help(out);
        return gwcli::kExitOk;
    }
    return inv.verb->handler(inv, io);
}

}  // namespace

int run(const std::vector<std::string> &args, std::ostream &out, std::ostream &err,
        const RunOptions &options) {
    // With --json a script reads stdout only: a command that fails before
    // it has a result to print gives an error object there.
    const auto end = std::find(args.begin(), args.end(), "--");
    if (std::find(args.begin(), end, "--json") != end) {
        Tap out_tap(out.rdbuf(), false), err_tap(err.rdbuf(), true);
        std::ostream tapped_out(&out_tap), tapped_err(&err_tap);
        Io io{tapped_out, tapped_err, options.progress};
        const int status = run_command(args, io);
        tapped_out.flush();
        tapped_err.flush();
        if (status != gwcli::kExitOk && out_tap.count() == 0) {
            Json::Value e(Json::objectValue);
            e["error"] = error_text(err_tap.kept());
            e["status"] = status;
            out << Json::writeString(json_writer("  "), e) << "\n";
        }
        return status;
    }
    Io io{out, err, options.progress};
    return run_command(args, io);
}

}  // namespace gwcfg
