// gwcfgd_serve.cpp - handing ready datagrams to the agent's handler, with a
// per-source limit on discovery requests.
//
// A discovery request is 24 bytes and is answered with 1033: left alone, a
// gateway would reflect (and amplify) traffic at whatever address a forged
// request names. The daemon therefore looks at each datagram before the
// handler reads it (MSG_PEEK for its length, first bytes and source) and
// drops a discovery request whose source has used up its budget, without
// calling the handler. Every other datagram goes to process_client_event.
#include "gwcfgd.h"

#include "agent.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>

#include <stdio_ext.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace gwcfgd {

uint64_t monotonic_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

DiscoveryLimiter::Slot *DiscoveryLimiter::find(uint32_t addr, uint64_t now_ns) {
    constexpr size_t kProbe = 16;
    const size_t home = (addr * 2654435761u) % kSlots;
    Slot *free_slot = nullptr;
    Slot *oldest = nullptr;
    for (size_t i = 0; i < kProbe; ++i) {
        Slot *s = &slots_[(home + i) % kSlots];
        if (!s->used) {
            if (!free_slot)
                free_slot = s;
            continue;
        }
        if (s->addr == addr)
            return s;
        if (!oldest || s->last_ns < oldest->last_ns)
            oldest = s;
    }
    Slot *s = free_slot ? free_slot : oldest;
    s->used = true;
    s->addr = addr;
    s->tokens = rate_;
    s->last_ns = now_ns;
    s->dropped = 0;
    return s;
}

bool DiscoveryLimiter::allow(uint32_t addr, uint64_t now_ns) {
    if (rate_ == 0)
        return true;
    Slot *s = find(addr, now_ns);
    if (now_ns > s->last_ns) {
        s->tokens += static_cast<double>(now_ns - s->last_ns) * rate_ / 1e9;
        if (s->tokens > rate_)
            s->tokens = rate_;
        s->last_ns = now_ns;
    }
    in_addr a;
    a.s_addr = addr;
    if (s->tokens >= 1.0) {
        s->tokens -= 1.0;
        if (s->dropped) {
            fprintf(stderr, "gwcfgd: answering discovery requests from %s again (%u dropped)\n",
                    inet_ntoa(a), s->dropped);
            s->dropped = 0;
        }
        return true;
    }
    if (s->dropped == 0)
        fprintf(stderr, "gwcfgd: more than %u discovery requests per second from %s; dropping "
                        "the excess\n",
                rate_, inet_ntoa(a));
    if (s->dropped < UINT32_MAX)
        ++s->dropped;
    return false;
}

int serve_ready(int fd, DiscoveryLimiter *limiter, int budget) {
    int taken = 0;
    for (int round = 0; round < budget; ++round) {
        uint8_t head[SEARCH_COMMAND_LEN];
        sockaddr_in from;
        socklen_t fromlen = sizeof from;
        memset(&from, 0, sizeof from);
        const ssize_t len = recvfrom(fd, head, sizeof head, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr *>(&from), &fromlen);
        if (len < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            // A pending error (an ICMP report for an earlier reply, say) is
            // reported once and cleared; go on with the next datagram.
            continue;
        }
        if (limiter && len == SEARCH_COMMAND_LEN &&
            memcmp(head, SEARCH_MAGIC, SEARCH_MAGIC_LEN) == 0 &&
            !limiter->allow(from.sin_addr.s_addr, monotonic_ns())) {
            recv(fd, head, sizeof head, MSG_DONTWAIT);  // consume and drop
            ++taken;
            continue;
        }
        process_client_event(fd);
        ++taken;
    }
    return taken;
}

void buffer_logs() {
    static char err_buf[64 * 1024];
    static char out_buf[16 * 1024];
    setvbuf(stderr, err_buf, _IOFBF, sizeof err_buf);
    setvbuf(stdout, out_buf, _IOFBF, sizeof out_buf);
}

bool LogFlusher::pending() const { return __fpending(stderr) > 0 || __fpending(stdout) > 0; }

void LogFlusher::tick(uint64_t now_ns) {
    if (!pending()) {
        waiting_ = false;
        return;
    }
    if (!waiting_) {
        waiting_ = true;
        since_ns_ = now_ns;
    }
    if (now_ns - since_ns_ >= kIntervalNs) {
        fflush(stdout);
        fflush(stderr);
        waiting_ = false;
    }
}

int LogFlusher::poll_timeout_ms(uint64_t now_ns, int idle_ms) const {
    if (!waiting_)
        return idle_ms;
    const uint64_t due = since_ns_ + kIntervalNs;
    if (now_ns >= due)
        return 0;
    const uint64_t ms = (due - now_ns + 999999) / 1000000;
    return ms < static_cast<uint64_t>(idle_ms) ? static_cast<int>(ms) : idle_ms;
}

}  // namespace gwcfgd
