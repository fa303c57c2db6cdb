// fleet.h - gwcfg's fleet engine (private to the gwcfg target): one UDP
// socket, a census of the gateways that answer discovery, and exchanges with
// many gateways at once, each with its own timeout and retries.
//
// A census sends discovery requests to the destination (--to or the limited
// broadcast address) and keeps every valid reply once per MAC address,
// source and block, at most kMaxReplies of them. For a unicast destination only
// replies from that address count.
//
// An exchange is what one gateway is asked in a step: an update or command
// to send, and what to wait for: a server_ack_msg, or a condition on its
// later discovery replies (the read-back after an update). The engine sends
// every exchange's first request at once, then listens; each exchange tries
// again every timeout / (retries + 1) until its judge says done or failed or
// its own deadline passes. Replies count for an exchange only when they carry
// its MAC address and come from the address the gateway answered from.
#pragma once

#include <ifaddrs.h>
#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <unordered_map>
#include <vector>

#include "config_block.h"

namespace gwcfg {

class Capture;  // capture.h

using Clock = std::chrono::steady_clock;

// Replies a census keeps at most; a host that floods the tool's port with
// more cannot make it hold more.
constexpr size_t kMaxReplies = 10000;

// Warnings about broken or stray datagrams printed at most; the rest are
// counted in one closing line.
constexpr size_t kMaxWarnings = 20;

struct Mac {
    uint8_t bytes[6];
    uint64_t key() const;  // the six bytes as a number, for maps
    std::string text() const;
    bool operator==(const Mac &o) const { return key() == o.key(); }
};

// Where requests go and how long each step waits.
struct Reach {
    sockaddr_in dest{};    // --to ADDR[:PORT], or 255.255.255.255 and --port
    bool unicast = false;  // dest is one host (not a broadcast address)
    // No --to: broadcast on every interface that is up (its broadcast
    // address), and to 255.255.255.255 where a route carries it.
    bool every_interface = true;
    bool verbose = false;  // name the destinations, and the interfaces left out
    int timeout_ms = 1000;
    int retries = 2;
    std::shared_ptr<Capture> capture;  // --capture FILE: every datagram sent and received
    int interval_ms() const;           // between tries: timeout / (retries + 1), at least 1
};

// "1 gateway", "3 gateways".
std::string count_of(size_t n, const std::string &noun);

std::string format_endpoint(const sockaddr_in &a);  // "192.168.0.21:48321"
std::string format_address(const sockaddr_in &a);   // "192.168.0.21"

// A valid discovery reply.
struct Reply {
    Mac mac;
    sockaddr_in from;
    gwblock::BlockContents contents;
};

struct Census {
    std::vector<Reply> replies;  // one per MAC, source and block, in arrival order
    std::vector<uint32_t> crcs;  // the block's stored CRC, per reply
    size_t dropped = 0;          // valid replies that found no room
    // MAC -> indices into replies; more than one: the MAC answered from
    // several sources.
    std::unordered_map<uint64_t, std::vector<size_t>> by_mac;
    size_t macs() const { return by_mac.size(); }
    const std::vector<size_t> *find(const Mac &mac) const;
};

// What a census waits for.
struct CensusGoal {
    // The gateways asked for; empty: every gateway that answers.
    std::vector<Mac> targets;
    // Stop once this many MAC addresses answered (0: no such stop).
    size_t expect = 0;
    // Spend the whole timeout even when every target answered, so that a
    // MAC address answering from several places is noticed.
    bool listen_full = false;
};

// What an exchange's judge says about a discovery reply.
enum class Verdict {
    Wait,    // keep waiting (and probing)
    Resend,  // the request did not land: send it again at the next try
    Done,
    Fail,
};

struct Exchange {
    // Set by the caller.
    Mac mac{};
    sockaddr_in to{};         // where its datagrams go
    bool check_from = false;  // count only replies from `from`
    sockaddr_in from{};
    std::vector<uint8_t> request;                 // sent at the first try (may be empty)
    bool repeat = false;                          // send the request again at every try
    bool await_ack = false;                       // a valid server_ack_msg of `mac` ends it
    bool probe = false;                           // send a discovery request at every try
    std::function<Verdict(const Reply &)> judge;  // for probe: its replies
    int timeout_ms = 0;                           // 0: the reach's

    // Results.
    enum class State { Pending, Done, Failed, TimedOut };
    State state = State::Pending;
    bool answered = false;  // a reply of this gateway was judged
    Reply last{};           // the last reply judged
    std::string error;      // a send that failed
    int tries = 0;

    // The engine's.
    Clock::time_point next_try{}, deadline{};
    bool resend = false;
};

// A line on a terminal that shows how far the work is; nothing otherwise.
class Progress {
public:
    Progress(std::ostream &err, bool enabled) : err_(err), enabled_(enabled) {}
    ~Progress() { clear(); }
    // At most ten times a second, unless `last` (the final state). False
    // when the text was held back (call again within 100 ms to show it).
    bool show(const std::string &text, bool last = false);
    void clear();

private:
    std::ostream &err_;
    bool enabled_;
    bool shown_ = false;
    std::string text_;  // on the line now
    Clock::time_point last_{};
};

class Session {
public:
    // label: how warnings begin ("gwcfg set").
    Session(const Reach &reach, std::ostream &err, const std::string &label, Progress *progress);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // Opens the socket and settles where requests go (see Reach). On
    // failure (no network to send on, among others) writes why and what to
    // do to err.
    bool open();
    const Reach &reach() const { return reach_; }
    // Where requests go: "192.168.0.255:48321 (eth0), 255.255.255.255:48321".
    std::string destination() const;
    // Where a datagram meant for every gateway goes: 255.255.255.255 when it
    // is routed, else the first interface's broadcast address; --to's
    // address when given.
    sockaddr_in broadcast() const { return targets_.empty() ? reach_.dest : targets_[0].addr; }

    // Discovery requests to the destination, resent every interval while a
    // target is missing (or, without targets, while the timeout runs);
    // replies collected until the timeout or the goal is met. False when the
    // request could not be sent (err says why).
    bool census(const CensusGoal &goal, Census *out);

    // Where the datagrams for a gateway that answered from `from` go: there,
    // when the destination is one host or `from` lies on a network of this
    // machine; otherwise to the destination (the broadcast reaches a gateway
    // whose IPv4 settings do not fit the network).
    sockaddr_in route_to(const sockaddr_in &from) const;

    // Sends one datagram; false with *error set when it could not.
    bool send(const sockaddr_in &to, const void *data, size_t len, std::string *error);

    // Runs every exchange to its end, all at once. `each` is called once per
    // finished exchange (for progress); `tick`, when given, at least every
    // 250 ms while exchanges are pending (for a countdown).
    void run(std::vector<Exchange> *exchanges, const std::function<void(const Exchange &)> &each,
             const std::function<void()> &tick = nullptr);

    // Prints how many warnings were held back, if any.
    void finish();

private:
    bool receive(Clock::time_point deadline, std::vector<uint8_t> *data, sockaddr_in *from);
    void dispatch(const std::vector<uint8_t> &data, const sockaddr_in &from,
                  std::vector<Exchange> &all,
                  const std::unordered_map<uint64_t, std::vector<size_t>> &by_mac, bool probing,
                  const std::function<void(Exchange &, Exchange::State)> &finish);
    void warn(const std::string &text);
    bool counts(const sockaddr_in &from) const;

    Reach reach_;
    std::ostream &err_;
    std::string label_;
    Progress *progress_;
    int fd_ = -1;
    size_t warnings_ = 0;
    struct Net {
        uint32_t addr, mask;  // host order
    };
    std::vector<Net> local_nets_;
    struct Target {
        sockaddr_in addr;
        std::string via;  // "eth0", "" for --to and 255.255.255.255
    };
    std::vector<Target> targets_;  // 255.255.255.255 first, when routed
    bool settle_targets(const ifaddrs *list);
};

}  // namespace gwcfg
