// gwcfgd_watch.cpp - safe apply: after an applied update has asked for a
// restart, the forwarder is watched, and a change that stops it is undone
// by the gateway itself.
//
// A change is confirmed once a basic_pkt_fwd that started after its
// global_conf.json was complete has run for the confirmation window. It
// fails when no such forwarder started within the start timeout, or when the
// one that did exited before its window was over. A failed change is rolled
// back: the configuration kept in kPreviousBlockFile (the last one that was
// not under watch when the change came) is installed as a new revision, in
// the update's own transaction, and the forwarder restarted with it. The
// restored configuration is watched in turn; when it fails too, it is kept
// and nothing more is tried, so a gateway whose forwarder cannot start at
// all does not loop.
//
// Times are clock ticks after boot, the clock of /proc/<pid>/stat, never
// the wall clock (TimeSync may set that meanwhile). What is watched is kept
// in kWatchFile (replaced whole, crash-safe), so a daemon killed or
// restarted during the window resumes it: a forwarder of this boot that
// started after the change and still runs keeps its window; otherwise the
// forwarder is restarted (or, after a reboot, the one the boot starts is
// waited for) and the start timeout counts from the resume. A change is
// confirmed only for a forwarder the daemon can see running.
#include "gwcfgd.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>

namespace gwcfgd {
namespace {

using gwblock::ChangeReason;
using gwblock::ChangeState;

unsigned g_window_s = kDefaultWindowSeconds;
bool g_confirm_from_any = false;
unsigned g_start_timeout_s = kDefaultStartTimeoutSeconds;

// What kWatchFile keeps.
struct Record {
    ChangeState state = ChangeState::None;
    uint32_t revision = 0;  // the change the state is about
    ChangeReason reason = ChangeReason::None;
    uint32_t seconds = 0;
    uint32_t config = 0;           // the configuration's revision when this was written
    bool active = false;           // a forwarder is watched
    uint32_t watched = 0;          // the revision watched (a restored one while rolled back)
    bool rollback = false;         // the watched revision is a restored configuration
    unsigned long long since = 0;  // ticks after boot: its global_conf.json was complete
    int forwarder = 0;             // the forwarder that started with it, once seen
    unsigned long long forwarder_start = 0;
    bool has_previous = false;  // kPreviousBlockFile holds the configuration to return to
    uint32_t previous = 0;      // its revision
    std::string boot;           // the boot the ticks count from (its boot_id)
    std::string source = "-";   // the address the watched change came from
};

Record g_rec;
unsigned long long g_start_base = 0;  // the start timeout counts from here
unsigned long long g_last_alive = 0;  // when the watched forwarder was last seen running
const char *g_unwatched_why = "";     // why watch_prepare said no

// This boot's id: ticks after boot compare only within one boot.
std::string boot_id() {
    char id[64] = "";
    if (FILE *f = fopen("/proc/sys/kernel/random/boot_id", "re")) {
        if (!fgets(id, sizeof id, f)) id[0] = '\0';
        fclose(f);
    }
    id[strcspn(id, "\n")] = '\0';
    return id[0] ? id : "-";
}

unsigned long long hz() { return static_cast<unsigned long long>(sysconf(_SC_CLK_TCK)); }

// Whole seconds, rounded.
uint32_t seconds_of(unsigned long long ticks) {
    return static_cast<uint32_t>((ticks + hz() / 2) / hz());
}

void save() {
    g_rec.config = revision();
    g_rec.boot = boot_id();
    char text[512];
    const int n = snprintf(text, sizeof text,
                           "state %u\nrevision %" PRIu32 "\nreason %u\nseconds %" PRIu32
                           "\nconfig %" PRIu32 "\nactive %d\nwatched %" PRIu32
                           "\nrollback %d\nsince %llu\nforwarder %d %llu\n"
                           "previous %d %" PRIu32 "\nboot %s\nsource %s\n",
                           static_cast<unsigned>(g_rec.state), g_rec.revision,
                           static_cast<unsigned>(g_rec.reason), g_rec.seconds, g_rec.config,
                           g_rec.active ? 1 : 0, g_rec.watched, g_rec.rollback ? 1 : 0, g_rec.since,
                           g_rec.forwarder, g_rec.forwarder_start, g_rec.has_previous ? 1 : 0,
                           g_rec.previous, g_rec.boot.c_str(), g_rec.source.c_str());
    std::string error;
    if (!replace_file(kWatchFile, reinterpret_cast<const uint8_t *>(text), static_cast<size_t>(n),
                      &error))
        log_line("cannot record the watch of the last change: %s", error.c_str());
}

// Reads kWatchFile. False with *error when it is there but unusable; a
// missing file is a record of nothing.
bool load(Record *out, std::string *error) {
    *out = Record();
    int fd = open(kWatchFile, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        if (errno == ENOENT) return true;
        *error = strerror(errno);
        return false;
    }
    char text[1024];
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n < 0) {
        *error = strerror(errno);
        return false;
    }
    text[n] = '\0';
    unsigned state = 0, reason = 0;
    int active = 0, rollback = 0, has_previous = 0;
    char boot[64] = "";
    const int got = sscanf(text,
                           "state %u\nrevision %" SCNu32 "\nreason %u\nseconds %" SCNu32
                           "\nconfig %" SCNu32 "\nactive %d\nwatched %" SCNu32
                           "\nrollback %d\nsince %llu\nforwarder %d %llu\nprevious %d %" SCNu32
                           "\nboot %63s",
                           &state, &out->revision, &reason, &out->seconds, &out->config, &active,
                           &out->watched, &rollback, &out->since, &out->forwarder,
                           &out->forwarder_start, &has_previous, &out->previous, boot);
    if (got != 14 || state >= gwblock::kChangeStates || reason >= gwblock::kChangeReasons) {
        *out = Record();
        *error = "it is not a watch this daemon wrote";
        return false;
    }
    out->state = static_cast<ChangeState>(state);
    out->reason = static_cast<ChangeReason>(reason);
    out->active = active != 0;
    out->rollback = rollback != 0;
    out->has_previous = has_previous != 0;
    out->boot = boot;
    // Written since confirms count only from the change's source; a watch
    // written before has none ("-": no confirm counts).
    char source[64] = "-";
    if (const char *at = strstr(text, "\nsource ")) sscanf(at, "\nsource %63s", source);
    out->source = source;
    return true;
}

// The configuration to return to, or false with *error.
bool read_previous(gwblock::BlockContents *out, std::string *error) {
    int fd = open(kPreviousBlockFile, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        *error = std::string("cannot read ") + kPreviousBlockFile + ": " + strerror(errno);
        return false;
    }
    uint8_t block[gwblock::kBlockSize + 1];
    size_t have = 0;
    for (;;) {
        const ssize_t n = read(fd, block + have, sizeof block - have);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        have += static_cast<size_t>(n);
        if (have == sizeof block) break;
    }
    close(fd);
    std::string decode_error;
    if (have != gwblock::kBlockSize || !gwblock::decode(block, out, &decode_error)) {
        *error = std::string(kPreviousBlockFile) + " is not a configuration block" +
                 (decode_error.empty() ? "" : " (" + decode_error + ")");
        return false;
    }
    return true;
}

void drop_previous() {
    g_rec.has_previous = false;
    if (unlink(kPreviousBlockFile) != 0 && errno != ENOENT)
        log_line("cannot remove %s: %s", kPreviousBlockFile, strerror(errno));
}

// "A.B.C.D" of an address in network order.
std::string address_of(uint32_t addr) {
    char text[INET_ADDRSTRLEN] = "-";
    in_addr a;
    a.s_addr = addr;
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

// From now on, watch revision (a change, or a restored configuration).
void watch_from_now(uint32_t watched, bool rollback) {
    g_rec.active = true;
    g_rec.watched = watched;
    g_rec.rollback = rollback;
    g_rec.since = boot_ticks_now();
    g_rec.forwarder = 0;
    g_rec.forwarder_start = 0;
    g_start_base = g_rec.since;
}

void confirmed(const Forwarder &f) {
    const uint32_t ran = seconds_of(boot_ticks_now() - f.start_ticks);
    if (g_rec.rollback) {
        log_line("the configuration of revision %" PRIu32 ", restored as revision %" PRIu32
                 ", runs: basic_pkt_fwd %d has run it for %" PRIu32 " s",
                 g_rec.previous, g_rec.watched, f.pid, ran);
    } else {
        log_line("revision %" PRIu32 " confirmed: basic_pkt_fwd %d has run it for %" PRIu32 " s",
                 g_rec.watched, f.pid, ran);
        g_rec.state = ChangeState::Confirmed;
        g_rec.reason = ChangeReason::None;
        g_rec.seconds = 0;
    }
    g_rec.active = false;
    drop_previous();
    save();
}

// The configuration that failed is kept: nothing to return to, or the
// restored one failed too.
void give_up(const std::string &message) {
    log_line("%s", message.c_str());
    g_rec.state = ChangeState::Failed;
    g_rec.active = false;
    drop_previous();
    save();
    restart_stop_watching();
}

void failed(ChangeReason reason, uint32_t seconds) {
    gwblock::ChangeStatus status{};
    status.reason = static_cast<uint8_t>(reason);
    status.seconds = seconds;
    const std::string text = gwblock::change_reason_text(status);
    g_rec.active = false;
    if (g_rec.rollback) {
        give_up(
            "the configuration of revision " + std::to_string(g_rec.previous) +
            ", restored as revision " + std::to_string(g_rec.watched) + ", failed too: " + text +
            "; keeping it and trying nothing more. Check the forwarder (journalctl -u respawner) "
            "and send a configuration that works");
        return;
    }
    const uint32_t bad = g_rec.watched;
    g_rec.revision = bad;
    g_rec.reason = reason;
    g_rec.seconds = seconds;
    gwblock::BlockContents previous;
    std::string error;
    if (!g_rec.has_previous || !read_previous(&previous, &error)) {
        give_up("revision " + std::to_string(bad) + " failed: " + text +
                "; no configuration to return to" + (error.empty() ? "" : " (" + error + ")") +
                ", keeping it");
        return;
    }
    gwblock::BlockContents next = live_configuration();
    gwblock::apply_block(previous, &next.eqp, &next.gw);
    next.revision = revision() + 1;
    gwblock::fill_unset_gateway_id(&next);
    if (!install_configuration(next, &error)) {
        give_up("cannot roll back revision " + std::to_string(bad) +
                " to the configuration of revision " + std::to_string(g_rec.previous) + " (" +
                text + "): " + error + "; keeping revision " + std::to_string(revision()));
        return;
    }
    log_line("rolled back revision %" PRIu32 " to the configuration of revision %" PRIu32 ": %s",
             bad, g_rec.previous, text.c_str());
    history().record(HistoryEvent::RolledBack, "-", bad, next.revision,
                     "reason: " + text + "; the configuration of revision " +
                         std::to_string(g_rec.previous) + " restored",
                     time(nullptr), monotonic_ns());
    g_rec.state = ChangeState::RolledBack;
    watch_from_now(next.revision, true);
    save();
    if (!post_restart_request(live_networkmode(), true)) {
        log_line("the configuration of revision %" PRIu32
                 " is installed, but the restart request could not be posted: the "
                 "forwarder starts with it once it is restarted",
                 g_rec.previous);
        g_rec.active = false;
        drop_previous();
        save();
        restart_stop_watching();
    }
}

// The first forwarder that started after the watched file was complete
// (other than `except`), or null.
const Forwarder *fresh_forwarder(const std::vector<Forwarder> &all, int except = 0) {
    for (const Forwarder &f : all)
        if (f.start_ticks > g_rec.since && f.pid != except) return &f;
    return nullptr;
}

}  // namespace

void set_confirm_from_any(bool any) { g_confirm_from_any = any; }

void set_watch_times(unsigned window_s, unsigned start_timeout_s) {
    g_window_s = window_s;
    g_start_timeout_s = start_timeout_s;
}

bool watch_active() { return g_rec.active; }

bool watch_prepare(const gwblock::BlockContents &before) {
    if (g_window_s == 0) return false;
    // A forwarder is expected when one runs, or when a change of this
    // daemon stopped it: then the respawner is asked to start one.
    const bool expected = g_rec.active || g_rec.state == ChangeState::RolledBack ||
                          g_rec.state == ChangeState::Failed;
    if (!expected && find_forwarder_pid() <= 0) {
        g_unwatched_why = "basic_pkt_fwd was not running";
        return false;
    }
    if (g_rec.active && g_rec.has_previous)
        return true;  // the configuration to return to stays the one before the first
    uint8_t block[gwblock::kBlockSize];
    gwblock::encode(before, block);
    std::string error;
    if (!replace_file(kPreviousBlockFile, block, sizeof block, &error)) {
        log_line("cannot keep the configuration of revision %" PRIu32 " to return to: %s",
                 before.revision, error.c_str());
        g_unwatched_why = "there is no configuration to return to";
        return false;
    }
    g_rec.has_previous = true;
    g_rec.previous = before.revision;
    return true;
}

void watch_applied(bool watched, uint32_t rev) {
    g_rec.reason = ChangeReason::None;
    g_rec.seconds = 0;
    g_rec.revision = rev;
    if (!watched) {
        if (g_window_s > 0)
            log_line("revision %" PRIu32 " is not watched: %s", rev, g_unwatched_why);
        g_rec.state = ChangeState::None;
        g_rec.active = false;
        if (g_rec.has_previous) drop_previous();
        save();
        return;
    }
    g_rec.state = ChangeState::Watching;
    watch_from_now(rev, false);
    g_rec.source = "-";
    uint32_t addr;
    uint16_t port;
    if (current_source(&addr, &port)) g_rec.source = address_of(addr);
    save();
    log_line("watching revision %" PRIu32
             ": confirmed once a basic_pkt_fwd started with it has run "
             "for %u s; the configuration of revision %" PRIu32
             " comes back if none starts within %u s or it exits before",
             rev, g_window_s, g_rec.previous, g_start_timeout_s);
}

void watch_not_restarted() {
    if (!g_rec.active) return;
    log_line("revision %" PRIu32
             " is not watched: the restart request could not be posted, so no "
             "forwarder starts with it until the forwarder is restarted",
             g_rec.watched);
    g_rec.state = ChangeState::None;
    g_rec.active = false;
    drop_previous();
    save();
    restart_stop_watching();
}

void watch_tick() {
    if (!g_rec.active) return;
    const unsigned long long now = boot_ticks_now();
    const std::vector<Forwarder> all = list_forwarders();
    if (g_rec.forwarder > 0) {
        for (const Forwarder &f : all) {
            if (f.pid != g_rec.forwarder || f.start_ticks != g_rec.forwarder_start) continue;
            g_last_alive = now;
            if (now - f.start_ticks >= g_window_s * hz()) confirmed(f);
            return;
        }
        // Gone. Another forwarder that started after the change took its
        // place (a restart someone asked for): that one is watched.
        if (const Forwarder *other = fresh_forwarder(all, g_rec.forwarder)) {
            log_line("basic_pkt_fwd %d took the place of %d; watching it for %u s", other->pid,
                     g_rec.forwarder, g_window_s);
            g_rec.forwarder = other->pid;
            g_rec.forwarder_start = other->start_ticks;
            g_last_alive = now;
            save();
            return;
        }
        // Stopped on a request this daemon did not make: not the change's
        // failure. The forwarder the respawner starts for it is waited for.
        int sender = 0;
        if (restart_requested_by_another(g_rec.forwarder_start, &sender)) {
            log_line(
                "basic_pkt_fwd %d was stopped by a restart request that gwcfgd did not "
                "make (from process %d); waiting up to %u s for the one the respawner starts",
                g_rec.forwarder, sender, g_start_timeout_s);
            g_rec.forwarder = 0;
            g_rec.forwarder_start = 0;
            g_start_base = now;
            save();
            return;
        }
        const unsigned long long alive = g_last_alive > g_rec.forwarder_start ? g_last_alive : now;
        failed(ChangeReason::Exited, seconds_of(alive - g_rec.forwarder_start));
        return;
    }
    if (const Forwarder *f = fresh_forwarder(all)) {
        g_rec.forwarder = f->pid;
        g_rec.forwarder_start = f->start_ticks;
        g_last_alive = now;
        save();
        log_line("basic_pkt_fwd %d started with revision %" PRIu32 "; watching it for %u s", f->pid,
                 g_rec.watched, g_window_s);
        return;
    }
    if (now - g_start_base >= g_start_timeout_s * hz())
        failed(ChangeReason::NoStart, g_start_timeout_s);
}

void watch_confirm(uint32_t rev, const std::string &source) {
    if (!g_rec.active || g_rec.state != ChangeState::Watching) {
        log_line("Confirm of revision %" PRIu32
                 " from %s ignored: no change is being watched (revision "
                 "%" PRIu32 " is %s)",
                 rev, source.c_str(), g_rec.revision,
                 gwblock::change_state_word(static_cast<uint8_t>(g_rec.state)));
        return;
    }
    if (rev != g_rec.watched) {
        log_line("Confirm of revision %" PRIu32 " from %s ignored: revision %" PRIu32
                 " is being watched",
                 rev, source.c_str(), g_rec.watched);
        return;
    }
    // It counts only once a forwarder that started with the change runs,
    // and only from where the change came: any LAN host could otherwise
    // keep a change that breaks the forwarder.
    bool runs = false;
    if (g_rec.forwarder > 0)
        for (const Forwarder &f : list_forwarders())
            runs = runs || (f.pid == g_rec.forwarder && f.start_ticks == g_rec.forwarder_start);
    if (!runs) {
        log_line("Confirm of revision %" PRIu32
                 " from %s refused: no basic_pkt_fwd that started with it runs yet",
                 rev, source.c_str());
        return;
    }
    const std::string from = source.substr(0, source.rfind(':'));
    if (!g_confirm_from_any && from != g_rec.source) {
        log_line("Confirm of revision %" PRIu32
                 " from %s refused: the change came from %s (--confirm-from-any "
                 "takes a confirm from any source)",
                 rev, source.c_str(), g_rec.source.c_str());
        return;
    }
    log_line("revision %" PRIu32 " confirmed with gwcfg confirm from %s", rev, source.c_str());
    g_rec.state = ChangeState::Confirmed;
    g_rec.reason = ChangeReason::Operator;
    g_rec.seconds = 0;
    g_rec.active = false;
    drop_previous();
    save();
}

gwblock::ChangeStatus change_status() {
    gwblock::ChangeStatus c{};
    c.state = static_cast<uint8_t>(g_rec.state);
    c.reason = static_cast<uint8_t>(g_rec.reason);
    c.revision = g_rec.revision;
    c.seconds = g_rec.seconds;
    if (g_rec.active) {
        const unsigned long long now = boot_ticks_now();
        const unsigned long long window = g_window_s * hz();
        unsigned long long left;
        if (g_rec.forwarder > 0) {
            const unsigned long long ran = now - g_rec.forwarder_start;
            left = ran < window ? window - ran : 0;
        } else {
            const unsigned long long waited = now - g_start_base;
            const unsigned long long timeout = g_start_timeout_s * hz();
            left = (waited < timeout ? timeout - waited : 0) + window;
        }
        c.left = static_cast<uint32_t>((left + hz() - 1) / hz());
    }
    return c;
}

void watch_start() {
    std::string error;
    if (!load(&g_rec, &error))
        log_line("%s is unusable (%s); the last change is taken as not watched", kWatchFile,
                 error.c_str());
    const uint32_t stored = revision();
    if (g_rec.config != stored) {
        // A change was stored, but not what became of its watch (the daemon
        // stopped in between): watched from now, when there is a
        // configuration to return to.
        gwblock::BlockContents previous;
        std::string unused;
        const bool can_return = read_previous(&previous, &unused) && previous.revision < stored;
        g_rec = Record();
        g_rec.revision = stored;
        if (can_return) {
            g_rec.state = ChangeState::Watching;
            g_rec.has_previous = true;
            g_rec.previous = previous.revision;
            g_rec.active = true;
            g_rec.watched = stored;
            g_rec.since = boot_ticks_now();
        }
    }
    if (!g_rec.active) {
        // A kept configuration without a watch is a leftover.
        if (access(kPreviousBlockFile, F_OK) == 0) drop_previous();
        save();
        return;
    }
    const unsigned long long now = boot_ticks_now();
    // Ticks of another boot say nothing of this one's processes.
    const bool rebooted = g_rec.boot != boot_id() || g_rec.since > now ||
                          g_rec.forwarder_start > now;
    if (rebooted) {
        g_rec.since = 0;
        g_rec.forwarder = 0;
    }
    g_start_base = now;
    const std::vector<Forwarder> all = list_forwarders();
    bool running = false;
    for (const Forwarder &f : all)
        running = running || (f.pid == g_rec.forwarder && f.start_ticks == g_rec.forwarder_start);
    if (running) {
        g_last_alive = now;
    } else {
        g_rec.forwarder = 0;
        g_rec.forwarder_start = 0;
    }
    const bool fresh = running || fresh_forwarder(all) != nullptr;
    log_line("resuming the watch of revision %" PRIu32 "%s", g_rec.watched,
             rebooted ? " after a reboot: waiting for the forwarder the boot starts"
             : fresh  ? ""
                      : ": no forwarder runs it yet; asking for a restart");
    save();
    if (!rebooted && !fresh) post_restart_request(live_networkmode(), true);
}

}  // namespace gwcfgd
