// gwcfgd_state.cpp - the daemon's live configuration.
//
// The live records are the agent's own globals: g_eqpConfig (identity,
// network mode, live and fixed IPv4 settings) and g_Gatewayconfig (radios,
// channels, TX gains, forwarder settings). The daemon adds one number, the
// revision, which goes up by one with every update it applies; an update is
// accepted only when it was made from the current revision, so two tools
// cannot overwrite each other's changes unnoticed, and only when the whole
// configuration it gives passes the forwarder's rules (gwblock::check_rules),
// so global_conf.json is never one the forwarder refuses.
//
// The state directory (the daemon's working directory) holds the last
// applied configuration as one encoded block, kBlockFile, and, unless
// another directory is named for it (the forwarder's), global_conf.json.
//
// An update takes effect only when everything it changes is written: the
// new block goes to a temporary file first, then global_conf.json is
// written and read back, then the fixed address is applied (networkmode 1),
// and only then is the block renamed into place and the records changed.
// Any failure on the way undoes the steps before it and refuses the update
// with one log line, so the stored block, global_conf.json and what
// discovery shows never disagree.
#include "gwcfgd.h"

#include "agent.h"
#include "config_block.h"
#include "gwutil.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <json/reader.h>
#include <json/writer.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

namespace gwcfgd {
namespace {

uint8_t g_mac[6];
uint32_t g_revision;
bool g_restart_requests;
std::string g_conf_dir;          // where global_conf.json goes; "" = working directory
std::string g_fixed_ip_command;  // "" = fixed settings not applied
std::string g_fixed_ip_applied;  // the arguments last applied; "" = not known

// The global_conf.json the forwarder reads.
std::string conf_path() {
    return (g_conf_dir.empty() ? std::string(".") : g_conf_dir) + "/global_conf.json";
}

gwblock::BlockContents live_contents() {
    gwblock::BlockContents bc{};
    bc.eqp = g_eqpConfig;
    bc.gw = g_Gatewayconfig;
    bc.revision = g_revision;
    return bc;
}

// A file's next version, between prepare_file and commit_file: one name per
// process ("gwcfgd.block.tmp.<pid>").
std::string prepared_name(const char *name) {
    return std::string(name) + ".tmp." + std::to_string(getpid());
}

bool prepare_file(const char *name, const uint8_t *data, size_t len, std::string *error) {
    // One name per process; O_EXCL with O_NOFOLLOW refuses whatever already
    // stands there, a planted link included, instead of writing through it.
    const std::string temp = prepared_name(name);
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = "cannot create " + temp + ": " + strerror(errno);
        return false;
    }
    if (!gwutil::write_all(fd, data, len) || fsync(fd) != 0) {
        *error = "cannot write " + temp + ": " + strerror(errno);
        close(fd);
        unlink(temp.c_str());
        return false;
    }
    if (close(fd) != 0) {
        *error = "cannot write " + temp + ": " + strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    return true;
}

void drop_prepared_file(const char *name) { unlink(prepared_name(name).c_str()); }

bool commit_file(const char *name, std::string *error) {
    const std::string temp = prepared_name(name);
    if (rename(temp.c_str(), name) != 0) {
        *error = "cannot rename " + temp + ": " + strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    // The rename itself must reach the disk before the change counts.
    int dir = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return true;
}

// "gwcfgd.block.corrupt-20261207T091503Z", or with ".1", ".2", ... behind
// it when that name is taken, so an earlier bad file is never overwritten.
bool set_aside(std::string *kept, std::string *error) {
    char stamp[32];
    time_t now = time(nullptr);
    struct tm tm_utc;
    gmtime_r(&now, &tm_utc);
    strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm_utc);
    const std::string base = std::string(kBlockFile) + ".corrupt-" + stamp;
    for (int i = 0; i < 100; ++i) {
        std::string name = i == 0 ? base : base + "." + std::to_string(i);
        struct stat st;
        if (lstat(name.c_str(), &st) == 0) continue;
        if (rename(kBlockFile, name.c_str()) == 0) {
            *kept = name;
            return true;
        }
        *error = strerror(errno);
        return false;
    }
    *error = "too many earlier copies";
    return false;
}

// Whether name is prefix itself or prefix, a dot and more.
bool has_temp_name(const char *name, const char *prefix) {
    const size_t n = strlen(prefix);
    return strncmp(name, prefix, n) == 0 && (name[n] == '\0' || name[n] == '.');
}

// Removes, in dir, the entries whose names start with prefix (or, when
// exact_or_dot, that are prefix or prefix.*) and that this account owns:
// regular files or links a killed process left between create and rename.
// Nothing else of the directory is touched.
void remove_temp_entries(const std::string &dir, const char *prefix, bool exact_or_dot) {
    DIR *d = opendir(dir.c_str());
    if (!d) return;
    const int dfd = dirfd(d);
    while (const dirent *e = readdir(d)) {
        const bool match = exact_or_dot ? has_temp_name(e->d_name, prefix)
                                        : strncmp(e->d_name, prefix, strlen(prefix)) == 0;
        struct stat st;
        if (!match || fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if ((S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) && st.st_uid == geteuid() &&
            unlinkat(dfd, e->d_name, 0) == 0)
            log_line("removed %s/%s, left by an earlier run", dir.c_str(), e->d_name);
    }
    closedir(d);
}

// The temporary files of the stored block and of global_conf.json that a
// crash between create and rename left; never the live files. The lock on
// the state directory guarantees that no other daemon is writing them.
void remove_stale_temp_files() {
    remove_temp_entries(".", kBlockTempPrefix, true);
    remove_temp_entries(".", (std::string(kWatchFile) + ".tmp").c_str(), true);
    remove_temp_entries(".", (std::string(kPreviousBlockFile) + ".tmp").c_str(), true);
    remove_temp_entries(".", GLOBAL_CONF_TEMP_PREFIX, false);
    // global_conf.json is replaced in its own directory (the forwarder's,
    // or that of the file a link names), and its temporary files lie there.
    if (char *real = realpath(conf_path().c_str(), nullptr)) {
        std::string dir = real;
        free(real);
        dir.erase(dir.rfind('/'));
        char here[PATH_MAX];
        if (getcwd(here, sizeof here) && dir != here)
            remove_temp_entries(dir.empty() ? "/" : dir, GLOBAL_CONF_TEMP_PREFIX, false);
    }
}

// What start() found in the state directory.
enum class Stored { Valid, Missing, Unreadable, Corrupt };

Stored read_stored(gwblock::BlockContents *out, std::string *error) {
    int fd = open(kBlockFile, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = strerror(errno);
        return errno == ENOENT ? Stored::Missing : Stored::Unreadable;
    }
    uint8_t block[gwblock::kBlockSize + 1];
    size_t have = 0;
    while (have < sizeof block) {
        ssize_t n = read(fd, block + have, sizeof block - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = strerror(errno);
            close(fd);
            return Stored::Unreadable;
        }
        if (n == 0) break;
        have += static_cast<size_t>(n);
    }
    close(fd);
    if (have != gwblock::kBlockSize) {
        *error = have > gwblock::kBlockSize
                     ? "it is longer than 1024 bytes"
                     : "it holds " + std::to_string(have) + " bytes, not 1024";
        return Stored::Corrupt;
    }
    if (!gwblock::decode(block, out, error)) return Stored::Corrupt;
    return Stored::Valid;
}

// Records an update in the history, with the source serve_ready peeked at
// ("-" when the handler was called some other way).
void record(HistoryEvent event, uint32_t before, uint32_t after, const std::string &detail) {
    std::string source = "-";
    uint32_t addr;
    uint16_t port;
    if (current_source(&addr, &port)) {
        in_addr a;
        a.s_addr = addr;
        source = std::string(inet_ntoa(a)) + ":" + std::to_string(port);
    }
    history().record(event, source, before, after, detail, time(nullptr), monotonic_ns());
}

// Up to `room` characters of the changed keys' names, comma separated.
void describe_changes(const gwblock::BlockContents &before, const gwblock::BlockContents &after,
                      char *out, size_t room) {
    out[0] = '\0';
    size_t used = 0;
    for (const gwblock::KeyInfo *key : gwblock::diff_keys(before, after, true)) {
        const size_t need = key->path.size() + (used ? 2 : 0);
        if (used + need + 4 >= room) {
            snprintf(out + used, room - used, ", ...");
            return;
        }
        used += static_cast<size_t>(
            snprintf(out + used, room - used, "%s%s", used ? ", " : "", key->path.c_str()));
    }
    if (used == 0) snprintf(out, room, "nothing");
}

// One leaf of a JSON view as compact text, so that equal values of
// different JSON number kinds (int, unsigned) compare equal.
std::string leaf_text(const Json::Value &v) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    return Json::writeString(b, v);
}

// Every leaf of `file` under `path` equals the same leaf of `want`.
bool same_leaves(const Json::Value &file, const Json::Value &want, const std::string &path,
                 std::string *error) {
    if (file.isObject()) {
        if (!want.isObject()) {
            *error = path + " is an object where a value belongs";
            return false;
        }
        for (const std::string &name : file.getMemberNames()) {
            const std::string sub = path.empty() ? name : path + "." + name;
            if (!want.isMember(name)) {
                *error = sub + " does not belong in it";
                return false;
            }
            if (!same_leaves(file[name], want[name], sub, error)) return false;
        }
        return true;
    }
    if (leaf_text(file) != leaf_text(want)) {
        *error = path + " is " + leaf_text(file) + ", not " + leaf_text(want);
        return false;
    }
    return true;
}

// Writes global_conf.json from c's records in the configured directory and
// reads it back.
bool write_conf(const gwblock::BlockContents &c, std::string *error) {
    GatewayConfig gw = c.gw;
    EqpConfig eqp = c.eqp;
    int here = -1;
    if (!g_conf_dir.empty()) {
        here = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (here < 0 || chdir(g_conf_dir.c_str()) != 0) {
            *error = "cannot use " + g_conf_dir + ": " + strerror(errno);
            if (here >= 0) close(here);
            return false;
        }
    }
    emit_gwconf(&gw, &eqp);
    fflush(stdout);
    if (here >= 0) {
        if (fchdir(here) != 0)
            log_line("cannot return to the state directory: %s", strerror(errno));
        close(here);
    }
    return conf_matches(conf_path(), c, error);
}

// "set A.B.C.D/P G.G.G.G" for networkmode 1, "clear" otherwise.
std::string fixed_ip_arguments(const EqpConfig &eqp) {
    if (eqp.networkmode != 1) return "clear";
    int prefix = 0;
    for (uint32_t m = eqp.fixed_netmask; m & 0x80000000u; m <<= 1)
        ++prefix;
    return "set " + gwblock::format_ipv4(eqp.fixed_ip) + "/" + std::to_string(prefix) + " " +
           (eqp.fixed_gateway ? gwblock::format_ipv4(eqp.fixed_gateway) : std::string("none"));
}

bool apply_fixed_ip(const EqpConfig &eqp, std::string *error) {
    const std::string command = g_fixed_ip_command + " " + fixed_ip_arguments(eqp);
    fflush(stdout);
    fflush(stderr);
    const int status = system(command.c_str());
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        *error = "\"" + command + "\" failed (status " + std::to_string(status) + ")";
        return false;
    }
    return true;
}

// One transaction: every step is undone when a later one fails, and the
// records change last, so what the daemon answers, what it starts with next
// time and what the forwarder reads never disagree.
bool install(const gwblock::BlockContents &before, const gwblock::BlockContents &next,
             std::string *error) {
    uint8_t encoded[gwblock::kBlockSize];
    gwblock::encode(next, encoded);
    std::string step_error, undo_error;
    if (!prepare_block(encoded, &step_error)) {
        *error = step_error;
        return false;
    }
    if (!write_conf(next, &step_error)) {
        drop_prepared_block();
        if (!write_conf(before, &undo_error))
            log_line("global_conf.json could not be restored either: %s", undo_error.c_str());
        *error = "global_conf.json not written: " + step_error;
        return false;
    }
    // Applied with the first update after start, then whenever it changes.
    const bool fixed_changed = !g_fixed_ip_command.empty() &&
                               fixed_ip_arguments(next.eqp) != g_fixed_ip_applied;
    if (fixed_changed && !apply_fixed_ip(next.eqp, &step_error)) {
        drop_prepared_block();
        if (!write_conf(before, &undo_error))
            log_line("global_conf.json could not be restored either: %s", undo_error.c_str());
        *error = "fixed address not applied: " + step_error;
        return false;
    }
    if (!commit_block(&step_error)) {
        drop_prepared_block();
        if (!write_conf(before, &undo_error))
            log_line("global_conf.json could not be restored either: %s", undo_error.c_str());
        if (fixed_changed && !apply_fixed_ip(before.eqp, &undo_error))
            log_line("fixed address could not be restored either: %s", undo_error.c_str());
        *error = step_error;
        return false;
    }
    if (fixed_changed) g_fixed_ip_applied = fixed_ip_arguments(next.eqp);
    g_eqpConfig = next.eqp;
    g_Gatewayconfig = next.gw;
    g_revision = next.revision;
    return true;
}

}  // namespace

bool conf_matches(const std::string &path, const gwblock::BlockContents &c, std::string *error) {
    std::ifstream in(path);
    if (!in) {
        *error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    const std::string s = text.str();
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value file;
    std::string parse_error;
    if (!reader->parse(s.data(), s.data() + s.size(), &file, &parse_error) || !file.isObject()) {
        *error = path + " is not a complete JSON object";
        return false;
    }
    Json::Value want = gwblock::to_json(c);
    want.removeMember("device_info");
    for (const char *section : {"SX1301_conf", "gateway_conf", "serverIP_conf"}) {
        if (!file.isMember(section)) {
            *error = path + " lacks " + section;
            return false;
        }
    }
    std::string diff;
    if (!same_leaves(file, want, "", &diff)) {
        *error = path + ": " + diff;
        return false;
    }
    return true;
}

bool check_fixed_settings(const EqpConfig &eqp, std::string *error) {
    if (eqp.networkmode != 1) return true;
    const uint32_t ip = eqp.fixed_ip, mask = eqp.fixed_netmask, gw = eqp.fixed_gateway;
    const std::string shown = " (networkmode 1 uses it)";
    switch (gwutil::check_fixed_ipv4(ip, mask, gw)) {
        case gwutil::FixedFault::None:
            return true;
        case gwutil::FixedFault::NoAddress:
            *error = "serverIP_conf.fixed_ip 0.0.0.0 is no address" + shown;
            return false;
        case gwutil::FixedFault::NotANetmask:
            *error = "serverIP_conf.fixed_netmask " + gwblock::format_ipv4(mask) +
                     " is not a netmask (ones, then zeros, at least one one)" + shown;
            return false;
        case gwutil::FixedFault::NetworkOrBroadcast:
            *error = "serverIP_conf.fixed_ip " + gwblock::format_ipv4(ip) +
                     " is the network or broadcast address of its subnet" + shown;
            return false;
        case gwutil::FixedFault::GatewayOutside:
            *error = "serverIP_conf.fixed_gateway " + gwblock::format_ipv4(gw) +
                     " is not another address in the subnet of " + gwblock::format_ipv4(ip) + "/" +
                     gwblock::format_ipv4(mask) + shown;
            return false;
    }
    return false;
}

void set_conf_dir(const std::string &dir) { g_conf_dir = dir; }

void set_fixed_ip_command(const std::string &command) { g_fixed_ip_command = command; }

void set_mac(const uint8_t mac[6]) { memcpy(g_mac, mac, sizeof g_mac); }

void set_restart_requests(bool on) { g_restart_requests = on; }

uint32_t revision() { return g_revision; }

bool load_profile(const std::string &path, Json::Value *profile, std::string *error) {
    std::ifstream in(path);
    if (!in) {
        *error = "cannot read profile " + path + ": " + strerror(errno);
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    const std::string s = text.str();
    Json::CharReaderBuilder builder;
    std::string parse_error;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    if (!reader->parse(s.data(), s.data() + s.size(), profile, &parse_error)) {
        *error = "profile " + path + " is not JSON: " + parse_error;
        return false;
    }
    gwblock::BlockContents scratch{};
    std::string apply_error;
    if (!gwblock::apply_json_profile(*profile, &scratch, &apply_error)) {
        *error = "profile " + path + ": " + apply_error;
        return false;
    }
    return true;
}

bool check_profile(const Json::Value &profile, std::string *error) {
    gwblock::BlockContents bc{};
    memcpy(bc.eqp.mac, g_mac, sizeof g_mac);
    if (!gwblock::apply_json_profile(profile, &bc, error)) return false;
    gwblock::fill_unset_gateway_id(&bc);
    return gwblock::check_rules(bc, error);
}

bool has_stored_configuration() {
    gwblock::BlockContents stored;
    std::string error;
    return read_stored(&stored, &error) == Stored::Valid;
}

bool store_block(const uint8_t *block, std::string *error) {
    return prepare_block(block, error) && commit_block(error);
}

bool prepare_block(const uint8_t *block, std::string *error) {
    return prepare_file(kBlockFile, block, gwblock::kBlockSize, error);
}

void drop_prepared_block() { drop_prepared_file(kBlockFile); }

bool commit_block(std::string *error) { return commit_file(kBlockFile, error); }

bool replace_file(const char *name, const uint8_t *data, size_t len, std::string *error) {
    return prepare_file(name, data, len, error) && commit_file(name, error);
}

gwblock::BlockContents live_configuration() { return live_contents(); }

uint8_t live_networkmode() { return g_eqpConfig.networkmode; }

bool install_configuration(const gwblock::BlockContents &next, std::string *error) {
    return install(live_contents(), next, error);
}

void start(const Json::Value *profile) {
    remove_stale_temp_files();

    gwblock::BlockContents stored;
    std::string read_error;
    const Stored found = read_stored(&stored, &read_error);
    // Without a stored block or a profile the gateway has nothing the
    // forwarder could start with.
    const bool configured = found == Stored::Valid || profile;
    if (found == Stored::Valid) {
        gwblock::apply_block(stored, &g_eqpConfig, &g_Gatewayconfig);
        g_revision = stored.revision;
        log_line("configuration revision %u taken from %s", g_revision, kBlockFile);
    } else {
        const char *with = profile ? " and the profile" : "";
        switch (found) {
            case Stored::Missing:
                if (profile)
                    log_line("no stored configuration yet; starting from the factory defaults%s",
                             with);
                break;
            case Stored::Unreadable:
                log_line("cannot read %s (%s); starting from the factory defaults%s", kBlockFile,
                         read_error.c_str(), with);
                break;
            default: {
                std::string kept, aside_error;
                if (set_aside(&kept, &aside_error))
                    log_line(
                        "stored configuration %s is corrupt (%s); kept as %s; starting from the "
                        "factory defaults%s",
                        kBlockFile, read_error.c_str(), kept.c_str(), with);
                else
                    log_line(
                        "stored configuration %s is corrupt (%s) and could not be set aside (%s); "
                        "starting from the factory defaults%s",
                        kBlockFile, read_error.c_str(), aside_error.c_str(), with);
                break;
            }
        }
        gwblock::BlockContents defaults{};
        defaults.eqp = g_eqpConfig;
        std::string profile_error;
        if (profile) {
            gwblock::BlockContents with_profile = defaults;
            if (gwblock::apply_json_profile(*profile, &with_profile, &profile_error) &&
                gwblock::validate(with_profile, &profile_error))
                defaults = with_profile;
            else
                log_line("profile not applied: %s", profile_error.c_str());
        }
        memset(&g_Gatewayconfig, 0, sizeof g_Gatewayconfig);
        gwblock::apply_block(defaults, &g_eqpConfig, &g_Gatewayconfig);
        g_revision = 0;
    }

    gwblock::BlockContents live = live_contents();
    if (gwblock::fill_unset_gateway_id(&live)) {
        g_Gatewayconfig.gateway_conf = live.gw.gateway_conf;
        if (configured)
            log_line("gateway_conf.gateway_ID is unset; using %s, derived from the MAC address",
                     g_Gatewayconfig.gateway_conf.gateway_ID);
    }
    // The forwarder never finds a file it refuses: one that matches the live
    // records, or the one it had.
    const char *file_state = access(conf_path().c_str(), F_OK) == 0 ? "left as it is"
                                                                    : "not written";
    if (!configured) {
        log_line(
            "the gateway has no configuration yet (none stored that it can use, no profile): "
            "global_conf.json %s; configure it with gwcfg set or start gwcfgd with --profile",
            file_state);
        return;
    }
    std::string broken;
    if (!gwblock::check_rules(live, &broken)) {
        log_line(
            "configuration revision %u breaks a rule of the forwarder, global_conf.json %s until "
            "an update mends it: %s",
            g_revision, file_state, broken.c_str());
        return;
    }
    std::string error;
    if (!write_conf(live, &error)) log_line("global_conf.json not written: %s", error.c_str());
}

}  // namespace gwcfgd

// ---------------------------------------------------------------------------
// The host functions the agent modules call.

extern "C" int NetMACAddressGet(uint8_t *mac) {
    memcpy(mac, gwcfgd::g_mac, 6);
    return 0;
}

// Encoding walks the whole key table; the records change rarely, so the
// block is encoded again only when the live records or the revision differ
// from the ones the last encoding was made from (a byte comparison of the
// records, so any change, by whichever code, is seen).
extern "C" int getDeviceConfig(uint8_t *block) {
    static uint8_t encoded[gwblock::kBlockSize];
    static EqpConfig encoded_eqp;
    static GatewayConfig encoded_gw;
    static uint32_t encoded_revision;
    static gwblock::ChangeStatus encoded_change;
    static bool valid = false;
    const gwblock::ChangeStatus change = gwcfgd::change_status();
    const auto same_change = [&] {
        return encoded_change.state == change.state && encoded_change.reason == change.reason &&
               encoded_change.revision == change.revision &&
               encoded_change.seconds == change.seconds && encoded_change.left == change.left;
    };
    if (!valid || encoded_revision != gwcfgd::g_revision || !same_change() ||
        memcmp(&encoded_eqp, &g_eqpConfig, sizeof g_eqpConfig) != 0 ||
        memcmp(&encoded_gw, &g_Gatewayconfig, sizeof g_Gatewayconfig) != 0) {
        memcpy(&encoded_eqp, &g_eqpConfig, sizeof g_eqpConfig);
        memcpy(&encoded_gw, &g_Gatewayconfig, sizeof g_Gatewayconfig);
        encoded_revision = gwcfgd::g_revision;
        encoded_change = change;
        gwblock::BlockContents live = gwcfgd::live_contents();
        live.change = change;
        gwblock::encode(live, encoded);
        valid = true;
    }
    memcpy(block, encoded, sizeof encoded);
    return 0;
}

extern "C" int setDeviceConfig(const uint8_t *block) {
    using gwcfgd::HistoryEvent;
    using gwcfgd::log_line;
    const uint32_t current = gwcfgd::g_revision;
    gwblock::BlockContents in;
    std::string error;
    if (!gwblock::decode(block, &in, &error)) {
        log_line("update refused: %s", error.c_str());
        gwcfgd::record(HistoryEvent::Refused, current, current, "reason: " + error);
        return -1;
    }
    if (in.revision != current) {
        char reason[160];
        snprintf(reason, sizeof reason,
                 "it was made from revision %u but the configuration is at revision %u; read it "
                 "again and redo the change",
                 in.revision, current);
        log_line("update refused: %s", reason);
        gwcfgd::record(HistoryEvent::Refused, current, current, std::string("reason: ") + reason);
        return -1;
    }
    const gwblock::BlockContents before = gwcfgd::live_contents();
    gwblock::BlockContents next = before;
    gwblock::apply_block(in, &next.eqp, &next.gw);
    next.revision = current + 1;
    // Judged whole, as the forwarder will read it.
    gwblock::fill_unset_gateway_id(&next);
    if (!gwblock::check_rules(next, &error)) {
        log_line("update refused: %s; nothing stored", error.c_str());
        gwcfgd::record(HistoryEvent::Refused, current, current, "reason: " + error);
        return -1;
    }
    const auto refuse = [&](const std::string &reason) {
        log_line("update refused: %s", reason.c_str());
        gwcfgd::record(HistoryEvent::Refused, current, current, "reason: " + reason);
        return -1;
    };
    if (!gwcfgd::g_fixed_ip_command.empty() && !gwcfgd::check_fixed_settings(next.eqp, &error))
        return refuse(error);

    // The configuration it replaces is kept before anything changes, while
    // the change may still have to be undone.
    const bool watched = gwcfgd::g_restart_requests && gwcfgd::watch_prepare(before);
    if (!gwcfgd::install(before, next, &error)) return refuse(error);
    char changes[900];
    gwcfgd::describe_changes(before, next, changes, sizeof changes);
    log_line("update applied: revision %u; changed: %s", next.revision, changes);
    gwcfgd::record(HistoryEvent::Applied, current, next.revision,
                   std::string("changed: ") + changes);

    if (gwcfgd::g_restart_requests) {
        gwcfgd::watch_applied(watched, next.revision);
        if (!gwcfgd::post_restart_request(g_eqpConfig.networkmode, watched) && watched)
            gwcfgd::watch_not_restarted();
    }
    return 0;
}
