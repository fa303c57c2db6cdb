// gwcfgd.h - the parts of the reference host daemon, shared by its main
// program, its tests and its benchmark.
//
//   gwcfgd_log.cpp      the log lines on stderr and their buffering
//   gwcfgd_state.cpp    the live configuration: the host functions the agent
//                       modules call (NetMACAddressGet, getDeviceConfig,
//                       setDeviceConfig), the stored block in the state
//                       directory, start-up from it or from the factory
//                       defaults and a profile
//   gwcfgd_history.cpp  the audit trail of applied, refused and rolled-back
//                       updates
//   gwcfgd_guard.cpp    the state directory's lock and permissions, the
//                       process that holds the port
//   gwcfgd_restart.cpp  restart requests to the respawner's message queue
//   gwcfgd_watch.cpp    safe apply: the forwarder watched after a change,
//                       the previous configuration restored when it fails
//   gwcfgd_serve.cpp    the allow list and rate limits, and the loop body that
//                       hands each ready datagram to process_client_event
//
// Everything runs on the daemon's one thread; nothing here is reentrant.
// Every log line of the daemon's own goes to stderr and starts with
// "gwcfgd: ".
#pragma once

#include <json/value.h>

#include "agent.h"
#include "config_block.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace gwcfgd {

// ---------------------------------------------------------------------------
// The log (gwcfgd_log.cpp)

// Writes "gwcfgd: ", the formatted text and a newline to stderr as one
// line (cut to fit 1024 bytes). Bytes of the text that are not printable
// ASCII are written as \xNN.
__attribute__((format(printf, 1, 2))) void log_line(const char *format, ...);

// Log output. The handler writes several lines per datagram; written one
// system call each they would cost more than the datagram itself. The
// daemon therefore buffers stderr and stdout fully (fixed buffers, no heap)
// and flushes them at most kIntervalNs after the first unflushed line:
// after a batch of datagrams when the interval is over, or when poll times
// out at the deadline. A burst larger than a buffer is written as it
// fills. Call buffer_logs() before anything is written.
void buffer_logs();

class LogFlusher {
public:
    static constexpr uint64_t kIntervalNs = 100000000;  // 100 ms

    // After a batch: flushes when the oldest unflushed line is due.
    void tick(uint64_t now_ns);
    // How long poll may block: idle_ms, or less while lines wait.
    int poll_timeout_ms(uint64_t now_ns, int idle_ms) const;

private:
    bool pending() const;
    uint64_t since_ns_ = 0;  // when unflushed output was first seen
    bool waiting_ = false;
};

// ---------------------------------------------------------------------------
// Live configuration (gwcfgd_state.cpp)

// The stored block, in the state directory (the daemon's working
// directory). store_block() writes the next one to kBlockTempPrefix, a dot
// and the daemon's pid; start() removes what a killed daemon left under
// that prefix (the bare prefix included).
constexpr const char kBlockFile[] = "gwcfgd.block";
constexpr const char kBlockTempPrefix[] = "gwcfgd.block.tmp";

// The MAC address NetMACAddressGet hands to the equipment store.
void set_mac(const uint8_t mac[6]);

// Whether an applied update posts a restart request (--restart-requests).
void set_restart_requests(bool on);

// Where global_conf.json is written (--conf-dir; the forwarder's
// directory): "" for the working directory.
void set_conf_dir(const std::string &dir);

// The command that applies the fixed settings (--fixed-ip-command): run
// through the shell as "<command> set A.B.C.D/PREFIX GATEWAY|none" for
// networkmode 1 and "<command> clear" otherwise, with the first applied
// update after start and with every later one that changes them, before
// the restart request; with a command, fixed settings that cannot work are
// refused (check_fixed_settings). "" (the default): they are only stored.
void set_fixed_ip_command(const std::string &command);

// Whether the fixed settings can work, when networkmode 1 uses them: an
// address that is not 0 nor the subnet's network or broadcast address, a
// contiguous netmask, a gateway (0 for none) that is another address of the
// subnet. False with *error naming the key.
bool check_fixed_settings(const EqpConfig &eqp, std::string *error);

// Whether the file at path holds the configuration c: a JSON object with
// the three sections, every value in it equal to the codec's JSON view of
// c. False with *error naming the file and the first difference.
bool conf_matches(const std::string &path, const gwblock::BlockContents &c, std::string *error);

// Reads a profile (JSON with the sections and keys of global_conf.json) and
// checks its keys and values against the factory defaults. False with
// *error naming the file and the first fault.
bool load_profile(const std::string &path, Json::Value *profile, std::string *error);

// Whether the profile (several merged with gwblock::merge_json_profile),
// over the factory defaults and with the gateway_ID derived from the MAC
// address (set_mac) when it sets none, gives a configuration the forwarder
// takes. False with *error the first rule fault (gwblock::check_rules).
bool check_profile(const Json::Value &profile, std::string *error);

// Whether the state directory (the working directory) holds a stored block
// that start() would take.
bool has_stored_configuration();

// Start-up, in the state directory, after InitSystemConfig: removes the
// temporary files a killed daemon left (the block's, and global_conf.json's
// beside the file it replaces); takes the stored
// block when it is valid; otherwise the factory defaults with the profile
// (may be null) applied, setting a corrupt stored block aside under
// "<name>.corrupt-<UTC time>" with one log line. An unset gateway_ID is
// derived from the MAC address. Then writes global_conf.json once, only if
// the forwarder takes the configuration: with nothing stored and no
// profile, or a stored configuration that breaks a rule, one log line says
// so and global_conf.json is left as it is (none is written where none
// exists).
void start(const Json::Value *profile);

// The revision the live records carry.
uint32_t revision();

// Writes the 1024 bytes of block to kBlockFile so that a crash at any moment
// leaves the old or the new file: temporary file (created new, never
// through a link or over an existing name), fsync, rename, fsync of the
// directory. False with *error on failure (the old file is untouched and
// the temporary one removed). The same in two steps: prepare_block writes
// the temporary file, commit_block renames it into place,
// drop_prepared_block removes it instead.
bool store_block(const uint8_t *block, std::string *error);
bool prepare_block(const uint8_t *block, std::string *error);
bool commit_block(std::string *error);
void drop_prepared_block();

// The same for any file of the state directory: replace_file writes len
// bytes to "<name>.tmp.<pid>" (created new, never through a link), fsyncs
// it, renames it over name and fsyncs the directory. False with *error
// (name untouched, the temporary file removed). start() removes what a
// killed daemon left of the temporary files of kBlockFile, kWatchFile and
// kPreviousBlockFile.
bool replace_file(const char *name, const uint8_t *data, size_t len, std::string *error);

// The live configuration: the records, the revision; the change status is
// left zero (the watch's).
gwblock::BlockContents live_configuration();

// Installs next (revision included) as the live configuration, in the
// update's one transaction: the block, global_conf.json (read back), the
// fixed address when it changed, then the records. False with *error when a
// step failed; every step before it is undone and nothing changed.
bool install_configuration(const gwblock::BlockContents &next, std::string *error);

// The networkmode of the live configuration.
uint8_t live_networkmode();

// ---------------------------------------------------------------------------
// The audit trail (gwcfgd_history.cpp)

// In the state directory: the history of updates, and the one before it.
constexpr const char kHistoryFile[] = "gwcfgd.history";
constexpr const char kHistoryOldFile[] = "gwcfgd.history.1";

enum class HistoryEvent { Applied, Refused, RolledBack };

// The history of updates: one line per update the daemon applied, refused
// or rolled back,
//   <UTC time> <source address:port or -> <applied|refused|rolled-back>
//   <revision before> -> <revision after> <changed: keys | reason: text>
// appended to kHistoryFile in the working directory. When an entry would
// take the file past max_bytes, the file becomes kHistoryOldFile (replacing
// it) first. Each entry is one write, synced before record() returns; a
// last line torn by a crash is ended before the next entry. Updates,
// applied or refused, are recorded one by one while a budget lasts: per
// source address kSourceBurst, refilled at kSourcePerHour, and for all
// sources kTotalBurst, refilled at kTotalPerHour (the daemon's own
// rollbacks, source "-", are always recorded). Beyond it they are counted,
// and one "skipped" line with the counts precedes the next entry. Failures
// to write are logged, never reported: an update never fails for its
// history.
class History {
public:
    static constexpr size_t kMaxBytes = 512 * 1024;
    static constexpr unsigned kSourceBurst = 20;
    static constexpr unsigned kSourcePerHour = 60;
    static constexpr unsigned kTotalBurst = 100;
    static constexpr unsigned kTotalPerHour = 300;
    static constexpr size_t kSources = 256;  // sources whose budget is kept

    explicit History(size_t max_bytes = kMaxBytes);

    // source: "A.B.C.D:port", or "-" when unknown. detail: "changed: ..."
    // or "reason: ..."; bytes that are not printable ASCII are written as
    // \xNN. now: the UTC time of the entry; now_ns: CLOCK_MONOTONIC.
    void record(HistoryEvent event, const std::string &source, uint32_t before, uint32_t after,
                const std::string &detail, time_t now, uint64_t now_ns);

    // Writes the "skipped" line, if updates are waiting to be counted (at
    // the daemon's stop).
    void flush(time_t now);

private:
    struct Bucket {
        double tokens;
        uint64_t last_ns;
    };
    struct Source {
        std::string address;  // without the port
        Bucket bucket;
    };
    // Whether an entry from source may be written now; takes its tokens.
    bool take(const std::string &source, uint64_t now_ns);
    std::string skipped_line(time_t now) const;
    bool append(const std::string &entry);

    size_t max_bytes_;
    Bucket total_;
    std::vector<Source> sources_;
    uint32_t skipped_applied_ = 0;
    uint32_t skipped_refused_ = 0;
    time_t skipped_since_ = 0;
};

// The daemon's history, in its state directory.
History &history();

// ---------------------------------------------------------------------------
// One daemon per port and state directory (gwcfgd_guard.cpp)

// The lock file in the state directory; it holds the pid of the daemon
// that holds the lock.
constexpr const char kLockFile[] = "gwcfgd.lock";

// Whether the state directory (the working directory, shown as `shown` in
// messages) is safe: neither group nor others may write it, and it belongs
// to this process's account or to root. False with *error saying what is
// wrong and what to do.
bool check_state_dir(const std::string &shown, std::string *error);

// Takes an fcntl write lock on kLockFile for the life of the process and
// writes the pid into it. False with *error naming the process that holds
// it (or why the file cannot be locked).
bool lock_state_dir(const std::string &shown, std::string *error);

// The pid of another process that has a UDP socket bound to port, found
// through /proc/net/udp and the /proc/<pid>/fd links this process may read;
// -1 when none is found.
int find_udp_port_holder(int port);

// "process 1234 (gwcfgd)", or "another process" for a pid of 0 or less.
std::string describe_process(int pid);

// ---------------------------------------------------------------------------
// Restart requests (gwcfgd_restart.cpp)

// A running basic_pkt_fwd: its pid and when it started (clock ticks after
// boot, as /proc/<pid>/stat gives it; 0 where the tree has no stat file).
struct Forwarder {
    int pid;
    unsigned long long start_ticks;
};

// Every running basic_pkt_fwd (by /proc/<pid>/comm; zombies and processes
// whose parent is a basic_pkt_fwd left out), in pid order.
std::vector<Forwarder> list_forwarders(const char *proc_root = "/proc");

// The pid of the running basic_pkt_fwd, found through /proc/<pid>/comm
// (the lowest pid when several run), or -1 when none runs.
int find_forwarder_pid(const char *proc_root = "/proc");

// Now, in the clock of Forwarder::start_ticks.
unsigned long long boot_ticks_now();

// "fix_ip mode:<pid>" for network mode 1, "dhcp mode:<pid>" otherwise.
// Returns the length, or -1 when it does not fit (never for a real pid).
int format_restart_request(uint8_t networkmode, int pid, char *out, size_t size);

// Posts the restart request for the running forwarder to the queue keyed by
// ftok("/home/pi/fifo", 1), without ever blocking, and from now on watches
// for a forwarder that started after this call (the newest global_conf.json
// is complete when it is made). When no forwarder runs: with start_if_none
// (a change of this daemon stopped it), a request that names kNoSuchPid,
// on which the respawner starts a forwarder when none runs; otherwise one
// log line says so and nothing is posted. When the queue cannot be reached,
// one log line says so. True when a request was posted.
bool post_restart_request(uint8_t networkmode, bool start_if_none = false);

// One above the highest pid Linux hands out (PID_MAX_LIMIT): a process the
// respawner never finds.
constexpr int kNoSuchPid = 4194304;

// Whether a restart request that this daemon did not post was sent to the
// respawner's queue after the forwarder that started at start_ticks (its
// Forwarder::start_ticks) started: then that forwarder was stopped on
// another's request, not because it failed. *sender: the sender's pid.
bool restart_requested_by_another(unsigned long long start_ticks, int *sender);

// Stops watching for a fresh forwarder (the change's watch gave up on it).
void restart_stop_watching();

// Between datagrams: while an update waits for a fresh forwarder, posts a
// request for a forwarder that started before the newest file (once per
// forwarder, again after 30 s); once a fresh one runs, logs it and runs
// UpdateCurrentIP 3, 10 and 30 s later, while the renewed lease settles.
void restart_tick(uint64_t now_ns);

// Has restart_tick run UpdateCurrentIP 3, 10 and 30 s after now_ns: at
// start, where the lease of a booting gateway may come after the daemon.
void probe_later(uint64_t now_ns);

// How long poll may block: idle_ms, or 250 ms while the watch or the
// probes are due.
int restart_poll_timeout_ms(int idle_ms);

// ---------------------------------------------------------------------------
// Safe apply (gwcfgd_watch.cpp)
//
// After an applied update has asked for a restart, the forwarder is watched:
// the change is confirmed once a forwarder that started after it has run
// for the confirmation window; it fails when none started within the start
// timeout or the new one exited before the window was over. A failed change
// is rolled back: the configuration of the last good revision, kept in
// kPreviousBlockFile until a verdict, is installed as a new revision and
// the forwarder restarted with it; when that fails too, it is kept and
// nothing more is tried. What is watched is kept in kWatchFile, so a daemon
// that is restarted meanwhile resumes the watch.

// In the state directory: the watch, and the configuration to return to.
constexpr const char kWatchFile[] = "gwcfgd.watch";
constexpr const char kPreviousBlockFile[] = "gwcfgd.block.previous";

// --confirm-window (0: changes are not watched) and --start-timeout, in
// seconds.
constexpr unsigned kDefaultWindowSeconds = 60;
constexpr unsigned kDefaultStartTimeoutSeconds = 20;
void set_watch_times(unsigned window_s, unsigned start_timeout_s);

// At start, after start(): reads kWatchFile; resumes a watch that a
// stopped daemon left (from now on; a forwarder of this boot that started
// after the change and still runs keeps its window), and drops what does
// not match the stored configuration.
void watch_start();

// Before an update's transaction: whether the change will be watched
// (changes are watched, and a forwarder runs or a change of this daemon
// stopped it). When it will be and no watch is under way, before (the
// configuration the update replaces) is kept as the one to return to.
bool watch_prepare(const gwblock::BlockContents &before);

// After an update's transaction: records the change (revision) as watched
// from now on, or as not watched.
void watch_applied(bool watched, uint32_t revision);

// After watch_applied(true, ...): the restart request could not be posted,
// so no forwarder will start with the change. It is not judged (nor blamed
// for a forwarder that never started): the watch ends, saying so.
void watch_not_restarted();

// Between datagrams: judges the forwarder; confirms, rolls back or gives up.
void watch_tick();

// A Confirm command for revision from source ("A.B.C.D:port"): ends the
// window of that revision's watch, once a forwarder that started with it
// runs and when it comes from the address the change came from (any
// address with set_confirm_from_any); otherwise it is refused, and any
// other revision ignored (logged).
void watch_confirm(uint32_t revision, const std::string &source);

// --confirm-from-any: a Confirm counts from any source, not only from the
// address that sent the change.
void set_confirm_from_any(bool any);

// The change status discovery carries now.
gwblock::ChangeStatus change_status();

// Whether a watch is under way (poll then wakes often).
bool watch_active();

// ---------------------------------------------------------------------------
// Serving (gwcfgd_serve.cpp)

// What reaches the handler. Before process_client_event reads a datagram,
// the daemon peeks at its length, first bytes and source (MSG_PEEK) and
// drops it, without calling the handler, when its source is outside the
// allow list or its kind is over its rate limit.

// The kinds of datagram, told apart as the handler tells them: by length,
// and for a discovery request by its magic too. Other covers every
// datagram the handler only logs (unknown lengths, a wrong magic).
enum class Kind { Discovery, Command, Update, Other };
constexpr size_t kKinds = 4;

// Datagrams per second; 0 turns that part of the limit off.
struct Limit {
    unsigned per_source;  // from one source address
    unsigned total;       // from all sources together
};
using Limits = std::array<Limit, kKinds>;

// One row per kind: its name in --limit, its words in log lines, its
// default limit.
struct KindInfo {
    Kind kind;
    const char *name;      // "discovery", "command", "update", "other"
    const char *noun;      // "discovery requests", ...
    const char *resuming;  // "answering", "handling"
    Limit defaults;
};
extern const KindInfo kKindTable[kKinds];

// The kind of a datagram of len bytes that starts with head (at least
// SEARCH_MAGIC_LEN bytes of it when len is SEARCH_COMMAND_LEN).
Kind kind_of(const uint8_t *head, size_t len);

// Every kind's default limit.
Limits default_limits();

// Applies one --limit text, "KIND=PER_SOURCE" or "KIND=PER_SOURCE/TOTAL"
// (numbers 0 to 1000000), to limits. False with *error naming the fault.
bool parse_limit(const char *text, Limits *limits, std::string *error);

// Token buckets for one kind: every source address has a bucket of
// per_source tokens refilled at per_source per second, and all sources
// share one of total tokens refilled at total per second; a datagram that
// finds either empty is dropped. Fixed memory: sources are kept in a table
// of kSlots entries, each in one of kProbe slots from a home slot its
// address hashes to. A source that finds a free slot there starts with a
// full bucket. When none is free, the source seen longest ago gives up its
// slot and the newcomer starts with one token: a source pushed out by a
// flood of other (perhaps forged) sources cannot come back with a fresh
// bucket, so pushing out a victim's entry gains an attacker one answer,
// not a burst. Slots never become free again, so a source that was pushed
// out always comes back this way.
//
// Logging: one line when a source's run of drops starts and one, with the
// count, when its datagrams pass again; the same for the total. At most
// kLinesPerSecond such lines per second (so forged sources cannot flood the
// log); lines held back are counted and reported with the next one.
class RateLimiter {
public:
    static constexpr size_t kSlots = 1024;
    static constexpr size_t kProbe = 16;
    static constexpr unsigned kLinesPerSecond = 10;

    RateLimiter(const KindInfo &info, Limit limit);
    const Limit &limit() const { return limit_; }

    // Whether a datagram from addr (network order) at now_ns
    // (CLOCK_MONOTONIC) may pass; takes a token from both buckets when it
    // does.
    bool allow(uint32_t addr, uint64_t now_ns);

    // Charges the total bucket for the handler's time on a datagram that
    // passed: one that kept the handler busy for longer than
    // kBusyShare / total seconds costs what that time is worth beyond its
    // token (the bucket may go below zero). So, whatever a TimeSync's date
    // command or an update's fsyncs take, one kind keeps the handler busy
    // at most about kBusyShare of the time.
    void charge(uint64_t busy_ns);
    static constexpr double kBusyShare = 0.5;

private:
    struct Bucket {
        double tokens;
        uint64_t last_ns;
    };
    struct Slot {
        uint32_t addr;
        bool used;
        bool announced;  // its run of drops was logged
        Bucket bucket;
        uint32_t dropped;
    };
    static void refill(Bucket *b, unsigned rate, uint64_t now_ns);
    Slot *find(uint32_t addr, uint64_t now_ns);
    bool may_log(uint64_t now_ns);

    const KindInfo &info_;
    Limit limit_;
    Bucket total_{};
    uint32_t total_dropped_ = 0;
    Bucket lines_{};
    uint32_t lines_held_ = 0;
    Slot slots_[kSlots] = {};
};

// Networks whose datagrams reach the handler (--allow-from); empty: all.
class AllowList {
public:
    // Adds "A.B.C.D" or "A.B.C.D/N" (N 0 to 32, no leading zero), or
    // several separated by commas. A network with host bits set
    // (10.0.0.1/8) is refused, not widened. False with *error naming the
    // fault.
    bool add(const std::string &text, std::string *error);
    bool empty() const { return count_ == 0; }
    // Whether addr (network order) lies in one of the networks.
    bool contains(uint32_t addr) const;

    static constexpr size_t kMax = 64;

private:
    struct Net {
        uint32_t addr;  // host order, masked
        uint32_t mask;  // host order
    };
    Net nets_[kMax] = {};
    size_t count_ = 0;
};

// The allow list and a limiter per kind, applied to each datagram before
// the handler. Datagrams from outside the allow list are dropped first
// (they take no tokens): one line for the first, then at most one a minute
// with how many followed.
class Admission {
public:
    explicit Admission(const Limits &limits, const AllowList &allow = AllowList());

    // Whether a datagram of kind, from addr (network order), may reach the
    // handler at now_ns.
    bool admit(Kind kind, uint32_t addr, uint64_t now_ns);

    // After the handler took busy_ns on an admitted datagram of kind.
    void charge(Kind kind, uint64_t busy_ns);

private:
    AllowList allow_;
    RateLimiter limiters_[kKinds];
    uint32_t outside_ = 0;  // dropped since the last line about them
    uint32_t outside_last_ = 0;
    uint64_t outside_logged_ns_ = 0;
    bool outside_seen_ = false;
};

// Handles the datagrams ready on fd, at most `budget` of them: peeks at
// each one's length, first bytes and source, drops one that admission
// refuses (when admission is not null), and hands every other one to
// process_client_event, with its source recorded for current_source(),
// and charges admission for the time the handler took.
// Returns the number of datagrams taken off the socket (fd must be
// non-blocking).
int serve_ready(int fd, Admission *admission, int budget = 64);

// The source of the datagram process_client_event is handling now, as
// serve_ready peeked at it; false outside serve_ready (the handler called
// some other way).
bool current_source(uint32_t *addr, uint16_t *port);

uint64_t monotonic_ns();

}  // namespace gwcfgd
