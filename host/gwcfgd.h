// gwcfgd.h - the parts of the reference host daemon, shared by its main
// program, its tests and its benchmark.
//
//   gwcfgd_state.cpp    the live configuration: the host functions the agent
//                       modules call (NetMACAddressGet, getDeviceConfig,
//                       setDeviceConfig), the stored block in the state
//                       directory, start-up from it or from the factory
//                       defaults and a profile
//   gwcfgd_restart.cpp  restart requests to the respawner's message queue
//   gwcfgd_serve.cpp    the per-source discovery rate limit and the loop body
//                       that hands each ready datagram to process_client_event
//
// Everything runs on the daemon's one thread; nothing here is reentrant.
// Every log line of the daemon's own goes to stderr and starts with
// "gwcfgd: ".
#pragma once

#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace gwcfgd {

// Writes "gwcfgd: ", the formatted text and a newline to stderr as one
// line (cut to fit 1024 bytes).
__attribute__((format(printf, 1, 2))) void log_line(const char *format, ...);

// ---------------------------------------------------------------------------
// Live configuration (gwcfgd_state.cpp)

// The stored block and its temporary twin, in the state directory (the
// daemon's working directory).
constexpr const char kBlockFile[] = "gwcfgd.block";
constexpr const char kBlockTempFile[] = "gwcfgd.block.tmp";

// The MAC address NetMACAddressGet hands to the equipment store.
void set_mac(const uint8_t mac[6]);

// Whether an applied update posts a restart request (--restart-requests).
void set_restart_requests(bool on);

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

// Start-up, in the state directory, after InitSystemConfig: takes the stored
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
// leaves the old or the new file: temporary file, fsync, rename, fsync of
// the directory. False with *error on failure (the old file is untouched
// and the temporary one removed).
bool store_block(const uint8_t *block, std::string *error);

// ---------------------------------------------------------------------------
// Restart requests (gwcfgd_restart.cpp)

// The pid of the running basic_pkt_fwd, found through /proc/<pid>/comm
// (the lowest pid when several run), or -1 when none runs.
int find_forwarder_pid(const char *proc_root = "/proc");

// "fix_ip mode:<pid>" for network mode 1, "dhcp mode:<pid>" otherwise.
// Returns the length, or -1 when it does not fit (never for a real pid).
int format_restart_request(uint8_t networkmode, int pid, char *out, size_t size);

// Posts the restart request for the running forwarder to the queue keyed by
// ftok("/home/pi/fifo", 1), without ever blocking. When no forwarder runs,
// or the queue cannot be reached, one log line says so and nothing is
// posted. True when a request was posted.
bool post_restart_request(uint8_t networkmode);

// ---------------------------------------------------------------------------
// Serving (gwcfgd_serve.cpp)

// At most `rate` discovery requests per second from one source address
// reach the handler: each source has a bucket of `rate` tokens, refilled at
// `rate` per second; a request that finds its bucket empty is dropped. A
// rate of 0 turns the limit off. Fixed memory: sources are kept in a table
// of kSlots entries; when its neighbourhood is full the source seen longest
// ago gives up its entry.
class DiscoveryLimiter {
public:
    static constexpr size_t kSlots = 1024;

    explicit DiscoveryLimiter(unsigned rate = 20) : rate_(rate) {}
    unsigned rate() const { return rate_; }

    // Whether a discovery request from addr (network order) at now_ns
    // (CLOCK_MONOTONIC) may pass. Logs the first drop of a run of drops,
    // and how many were dropped when the source is answered again.
    bool allow(uint32_t addr, uint64_t now_ns);

private:
    struct Slot {
        uint32_t addr;
        bool used;
        double tokens;
        uint64_t last_ns;
        uint32_t dropped;
    };
    Slot *find(uint32_t addr, uint64_t now_ns);

    unsigned rate_;
    Slot slots_[kSlots] = {};
};

// Handles the datagrams ready on fd, at most `budget` of them: peeks at each
// one's length and source, drops a discovery request that the limiter
// refuses, and hands every other datagram to process_client_event. Returns
// the number of datagrams taken off the socket (fd must be non-blocking).
int serve_ready(int fd, DiscoveryLimiter *limiter, int budget = 64);

uint64_t monotonic_ns();

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

}  // namespace gwcfgd
