// gwcfgd_serve.cpp - what reaches the agent's handler: the allow list and
// the rate limits, and the loop body that hands each ready datagram to
// process_client_event.
//
// A discovery request is 24 bytes and is answered with 1033: left alone, a
// gateway would reflect (and amplify) traffic at whatever address a forged
// request names. A TimeSync holds the handler while the date command runs
// and an update costs several fsyncs, so a flood of either would keep
// everyone else waiting. The daemon therefore looks at each datagram before
// the handler reads it (MSG_PEEK for its length, first bytes and source)
// and drops, without calling the handler, what comes from outside the allow
// list or exceeds its kind's limit per source or in total.
#include "gwcfgd.h"

#include "agent.h"
#include "gwutil.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace gwcfgd {

// The totals bound what any number of (forged) sources can make the
// daemon do in a second: 200 discovery answers are 200 KiB/s of replies; a
// TimeSync holds the handler while date runs and an update costs four
// fsyncs, so their totals are small; other datagrams are only logged.
const KindInfo kKindTable[kKinds] = {
    {Kind::Discovery, "discovery", "discovery requests", "answering", {20, 200}},
    {Kind::Command, "command", "command datagrams", "handling", {5, 5}},
    {Kind::Update, "update", "update datagrams", "handling", {2, 5}},
    {Kind::Other, "other", "other datagrams", "handling", {20, 100}},
};

namespace {

constexpr unsigned kMaxRate = 1000000;

// The source of the datagram the handler is reading now.
bool g_have_source = false;
uint32_t g_source_addr;
uint16_t g_source_port;

const char *dotted(uint32_t addr) {
    in_addr a;
    a.s_addr = addr;
    return inet_ntoa(a);
}

// Digits only, 0..kMaxRate.
bool parse_rate(const char *begin, const char *end, unsigned *out) {
    return gwutil::parse_decimal(std::string(begin, end), 0u, static_cast<unsigned>(kMaxRate), out);
}

}  // namespace

uint64_t monotonic_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

Kind kind_of(const uint8_t *head, size_t len) {
    switch (len) {
        case SEARCH_COMMAND_LEN:
            return memcmp(head, SEARCH_MAGIC, SEARCH_MAGIC_LEN) == 0 ? Kind::Discovery
                                                                     : Kind::Other;
        case MESSAGE_COMMAND_LEN:
            return Kind::Command;
        case UPDATE_COMMAND_LEN:
            return Kind::Update;
        default:
            return Kind::Other;
    }
}

Limits default_limits() {
    Limits limits;
    for (size_t i = 0; i < kKinds; ++i)
        limits[i] = kKindTable[i].defaults;
    return limits;
}

bool parse_limit(const char *text, Limits *limits, std::string *error) {
    const char *eq = strchr(text, '=');
    const KindInfo *info = nullptr;
    for (const KindInfo &k : kKindTable)
        if (eq && strlen(k.name) == static_cast<size_t>(eq - text) &&
            strncmp(k.name, text, static_cast<size_t>(eq - text)) == 0)
            info = &k;
    if (!info) {
        *error =
            "--limit wants KIND=PER_SOURCE[/TOTAL] with KIND discovery, command, update or "
            "other";
        return false;
    }
    const char *value = eq + 1;
    const char *slash = strchr(value, '/');
    Limit limit = (*limits)[static_cast<size_t>(info->kind)];
    if (!parse_rate(value, slash ? slash : value + strlen(value), &limit.per_source) ||
        (slash && !parse_rate(slash + 1, slash + 1 + strlen(slash + 1), &limit.total))) {
        *error = "--limit wants datagrams per second from 0 to 1000000 (0: no limit), as " +
                 std::string(info->name) + "=PER_SOURCE or " + info->name + "=PER_SOURCE/TOTAL";
        return false;
    }
    (*limits)[static_cast<size_t>(info->kind)] = limit;
    return true;
}

// ---------------------------------------------------------------------------
// RateLimiter

RateLimiter::RateLimiter(const KindInfo &info, Limit limit) : info_(info), limit_(limit) {
    total_.tokens = limit.total;
    lines_.tokens = kLinesPerSecond;
}

void RateLimiter::refill(Bucket *b, unsigned rate, uint64_t now_ns) {
    if (now_ns > b->last_ns) {
        b->tokens += static_cast<double>(now_ns - b->last_ns) * rate / 1e9;
        if (b->tokens > rate) b->tokens = rate;
    }
    b->last_ns = now_ns;
}

RateLimiter::Slot *RateLimiter::find(uint32_t addr, uint64_t now_ns) {
    const size_t home = (addr * 2654435761u) % kSlots;
    Slot *free_slot = nullptr;
    Slot *oldest = nullptr;
    for (size_t i = 0; i < kProbe; ++i) {
        Slot *s = &slots_[(home + i) % kSlots];
        if (!s->used) {
            if (!free_slot) free_slot = s;
            continue;
        }
        if (s->addr == addr) return s;
        if (!oldest || s->bucket.last_ns < oldest->bucket.last_ns) oldest = s;
    }
    Slot *s = free_slot ? free_slot : oldest;
    s->used = true;
    s->addr = addr;
    s->announced = false;
    s->bucket.tokens = free_slot ? limit_.per_source : 1.0;
    s->bucket.last_ns = now_ns;
    s->dropped = 0;
    return s;
}

bool RateLimiter::may_log(uint64_t now_ns) {
    refill(&lines_, kLinesPerSecond, now_ns);
    if (lines_.tokens < 1.0) {
        if (lines_held_ < UINT32_MAX) ++lines_held_;
        return false;
    }
    lines_.tokens -= 1.0;
    if (lines_held_) {
        log_line("%u lines about dropped %s were not written", lines_held_, info_.noun);
        lines_held_ = 0;
    }
    return true;
}

bool RateLimiter::allow(uint32_t addr, uint64_t now_ns) {
    if (limit_.per_source == 0 && limit_.total == 0) return true;
    Slot *s = nullptr;
    if (limit_.per_source) {
        s = find(addr, now_ns);
        refill(&s->bucket, limit_.per_source, now_ns);
        if (s->bucket.tokens < 1.0) {
            if (s->dropped == 0 && may_log(now_ns)) {
                log_line("more than %u %s per second from %s; dropping the excess",
                         limit_.per_source, info_.noun, dotted(addr));
                s->announced = true;
            }
            if (s->dropped < UINT32_MAX) ++s->dropped;
            return false;
        }
    }
    if (limit_.total) {
        refill(&total_, limit_.total, now_ns);
        if (total_.tokens < 1.0) {
            if (total_dropped_ == 0 && may_log(now_ns))
                log_line("more than %u %s per second in all; dropping the excess", limit_.total,
                         info_.noun);
            if (total_dropped_ < UINT32_MAX) ++total_dropped_;
            return false;
        }
        total_.tokens -= 1.0;
        if (total_dropped_) {
            if (may_log(now_ns))
                log_line("%s %s again (%u dropped in all)", info_.resuming, info_.noun,
                         total_dropped_);
            total_dropped_ = 0;
        }
    }
    if (s) {
        s->bucket.tokens -= 1.0;
        if (s->dropped) {
            if (s->announced && may_log(now_ns))
                log_line("%s %s from %s again (%u dropped)", info_.resuming, info_.noun,
                         dotted(addr), s->dropped);
            s->dropped = 0;
            s->announced = false;
        }
    }
    return true;
}

void RateLimiter::charge(uint64_t busy_ns) {
    if (limit_.total == 0) return;
    const double worth = static_cast<double>(busy_ns) / 1e9 * limit_.total / kBusyShare;
    if (worth > 1.0) total_.tokens -= worth - 1.0;
}

// ---------------------------------------------------------------------------
// AllowList

bool AllowList::add(const std::string &text, std::string *error) {
    size_t start = 0;
    do {
        const size_t comma = text.find(',', start);
        const std::string item =
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        start = comma == std::string::npos ? std::string::npos : comma + 1;
        const size_t slash = item.find('/');
        const std::string ip = item.substr(0, slash);
        in_addr a;
        unsigned bits = 32;
        // The prefix as it is written: one or two digits, no leading zero.
        const std::string prefix = slash == std::string::npos ? "32" : item.substr(slash + 1);
        if (inet_pton(AF_INET, ip.c_str(), &a) != 1 || prefix.empty() || prefix.size() > 2 ||
            (prefix.size() == 2 && prefix[0] == '0') ||
            !parse_rate(prefix.c_str(), prefix.c_str() + prefix.size(), &bits) || bits > 32) {
            *error =
                "--allow-from wants IPv4 networks as A.B.C.D or A.B.C.D/N (N 0 to 32), "
                "separated by commas: \"" +
                item + "\"";
            return false;
        }
        if (count_ == kMax) {
            *error = "--allow-from takes at most " + std::to_string(kMax) + " networks";
            return false;
        }
        const uint32_t mask = bits == 0 ? 0 : ~0u << (32 - bits);
        const uint32_t host = ntohl(a.s_addr);
        if ((host & ~mask) != 0) {
            // 10.0.0.1/8 is not a network: taken as 10.0.0.0/8 it would let
            // in far more than the one address it seems to name.
            in_addr net;
            net.s_addr = htonl(host & mask);
            char shown[INET_ADDRSTRLEN] = "?";
            inet_ntop(AF_INET, &net, shown, sizeof shown);
            *error = "--allow-from \"" + item + "\" has host bits set: write the network (" +
                     shown + "/" + prefix + ") or the address alone (" + ip + ")";
            return false;
        }
        nets_[count_++] = Net{host, mask};
    } while (start != std::string::npos);
    return true;
}

bool AllowList::contains(uint32_t addr) const {
    const uint32_t host = ntohl(addr);
    for (size_t i = 0; i < count_; ++i)
        if ((host & nets_[i].mask) == nets_[i].addr) return true;
    return false;
}

// ---------------------------------------------------------------------------
// Admission

Admission::Admission(const Limits &limits, const AllowList &allow)
    : allow_(allow),
      limiters_{RateLimiter(kKindTable[0], limits[0]), RateLimiter(kKindTable[1], limits[1]),
                RateLimiter(kKindTable[2], limits[2]), RateLimiter(kKindTable[3], limits[3])} {}

bool Admission::admit(Kind kind, uint32_t addr, uint64_t now_ns) {
    if (!allow_.empty() && !allow_.contains(addr)) {
        constexpr uint64_t kMinute = 60ull * 1000000000u;
        ++outside_;
        outside_last_ = addr;
        if (!outside_seen_) {
            log_line("dropping datagrams from %s and every other source outside --allow-from",
                     dotted(addr));
            outside_seen_ = true;
            outside_ = 0;
            outside_logged_ns_ = now_ns;
        } else if (now_ns - outside_logged_ns_ >= kMinute) {
            log_line("dropped %u more datagrams from outside --allow-from (the last from %s)",
                     outside_, dotted(outside_last_));
            outside_ = 0;
            outside_logged_ns_ = now_ns;
        }
        return false;
    }
    return limiters_[static_cast<size_t>(kind)].allow(addr, now_ns);
}

void Admission::charge(Kind kind, uint64_t busy_ns) {
    limiters_[static_cast<size_t>(kind)].charge(busy_ns);
}

// ---------------------------------------------------------------------------
// The loop body

bool current_source(uint32_t *addr, uint16_t *port) {
    if (!g_have_source) return false;
    *addr = g_source_addr;
    *port = g_source_port;
    return true;
}

int serve_ready(int fd, Admission *admission, int budget) {
    int taken = 0;
    for (int round = 0; round < budget; ++round) {
        uint8_t head[SEARCH_COMMAND_LEN];
        sockaddr_in from;
        socklen_t fromlen = sizeof from;
        memset(&from, 0, sizeof from);
        const ssize_t len = recvfrom(fd, head, sizeof head, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr *>(&from), &fromlen);
        if (len < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            // A pending error (an ICMP report for an earlier reply, say) is
            // reported once and cleared; go on with the next datagram.
            continue;
        }
        const Kind kind = kind_of(head, static_cast<size_t>(len));
        const uint64_t start_ns = monotonic_ns();
        if (admission && !admission->admit(kind, from.sin_addr.s_addr, start_ns)) {
            recv(fd, head, sizeof head, MSG_DONTWAIT);  // consume and drop
            ++taken;
            continue;
        }
        // A Confirm command is the handler's to log and the watch's to act
        // on: read before the handler takes the datagram.
        uint32_t confirmed = 0;
        bool confirm = false;
        if (kind == Kind::Command) {
            uint8_t command[MESSAGE_COMMAND_LEN];
            const ssize_t n = recv(fd, command, sizeof command, MSG_PEEK | MSG_DONTWAIT);
            confirm = n == static_cast<ssize_t>(sizeof command) &&
                      gwblock::parse_confirm(command, sizeof command, g_eqpConfig.mac, &confirmed);
        }
        g_have_source = true;
        g_source_addr = from.sin_addr.s_addr;
        g_source_port = ntohs(from.sin_port);
        process_client_event(fd);
        g_have_source = false;
        if (confirm)
            watch_confirm(confirmed, std::string(dotted(from.sin_addr.s_addr)) + ":" +
                                         std::to_string(ntohs(from.sin_port)));
        if (admission) admission->charge(kind, monotonic_ns() - start_ns);
        ++taken;
    }
    return taken;
}

}  // namespace gwcfgd
