// fleet.cpp - the fleet engine: see fleet.h.
#include "fleet.h"

#include "capture.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace gwcfg {

uint64_t Mac::key() const {
    uint64_t k = 0;
    for (uint8_t b : bytes)
        k = k << 8 | b;
    return k;
}

std::string Mac::text() const { return gwblock::format_mac(bytes); }

int Reach::interval_ms() const { return std::max(1, timeout_ms / (retries + 1)); }

std::string count_of(size_t n, const std::string &noun) {
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

std::string format_endpoint(const sockaddr_in &a) {
    return gwblock::format_ipv4(ntohl(a.sin_addr.s_addr)) + ":" + std::to_string(ntohs(a.sin_port));
}

std::string format_address(const sockaddr_in &a) {
    return gwblock::format_ipv4(ntohl(a.sin_addr.s_addr));
}

namespace {

bool same_endpoint(const sockaddr_in &a, const sockaddr_in &b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

Mac mac_of(const uint8_t *bytes) {
    Mac m;
    memcpy(m.bytes, bytes, 6);
    return m;
}

}  // namespace

const std::vector<size_t> *Census::find(const Mac &mac) const {
    auto it = by_mac.find(mac.key());
    return it == by_mac.end() ? nullptr : &it->second;
}

// ---------------------------------------------------------------------------
// Progress

bool Progress::show(const std::string &text, bool last) {
    if (!enabled_) return true;
    const auto now = Clock::now();
    if (shown_ && !last && now - last_ < std::chrono::milliseconds(100)) return text == text_;
    last_ = now;
    text_ = text;
    err_ << "\r\033[K" << text << std::flush;
    shown_ = true;
    return true;
}

void Progress::clear() {
    if (!shown_) return;
    err_ << "\r\033[K" << std::flush;
    shown_ = false;
}

// ---------------------------------------------------------------------------
// Session

Session::Session(const Reach &reach, std::ostream &err, const std::string &label,
                 Progress *progress)
    : reach_(reach), err_(err), label_(label), progress_(progress) {}

Session::~Session() {
    if (fd_ >= 0) close(fd_);
}

bool Session::open() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        err_ << label_ << ": cannot open a UDP socket: " << strerror(errno)
             << ". Close other programs or raise the open-file limit, then try again.\n";
        return false;
    }
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    // Hundreds of gateways answer a broadcast at once; keep them all. As
    // root the size is granted whatever net.core.rmem_max says.
    int rcvbuf = 4 * 1024 * 1024;
    if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf) != 0)
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    // Updates to hundreds of gateways leave in one burst.
    int sndbuf = 2 * 1024 * 1024;
    if (setsockopt(fd_, SOL_SOCKET, SO_SNDBUFFORCE, &sndbuf, sizeof sndbuf) != 0)
        setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd_, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        err_ << label_ << ": cannot bind a UDP socket: " << strerror(errno)
             << ". Check that this machine has IPv4 networking, then try again.\n";
        return false;
    }
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs *i = list; i; i = i->ifa_next) {
            if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !i->ifa_netmask ||
                !(i->ifa_flags & IFF_UP))
                continue;
            const uint32_t addr =
                ntohl(reinterpret_cast<sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr);
            const uint32_t mask =
                ntohl(reinterpret_cast<sockaddr_in *>(i->ifa_netmask)->sin_addr.s_addr);
            local_nets_.push_back({addr, mask});
        }
    }
    const bool settled = settle_targets(list);
    if (list) freeifaddrs(list);
    return settled;
}

bool Session::settle_targets(const ifaddrs *list) {
    targets_.clear();
    if (!reach_.every_interface) {
        targets_.push_back({reach_.dest, ""});
        return true;
    }
    // 255.255.255.255 leaves only by a route (the default route, mostly):
    // a UDP socket connects to it when one exists.
    std::string limited_fault;
    const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe >= 0) {
        int one = 1;
        setsockopt(probe, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
        if (connect(probe, reinterpret_cast<const sockaddr *>(&reach_.dest), sizeof reach_.dest) ==
            0)
            targets_.push_back({reach_.dest, ""});
        else
            limited_fault = strerror(errno);
        close(probe);
    }
    // Each interface that is up and has a broadcast address: a laptop
    // cabled straight to a gateway, an isolated LAN. Loopback only with --to.
    std::vector<std::string> skipped;
    for (const ifaddrs *i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        const std::string name = i->ifa_name ? i->ifa_name : "?";
        std::string why;
        if (!(i->ifa_flags & IFF_UP))
            why = "down";
        else if (i->ifa_flags & IFF_LOOPBACK)
            why = "loopback; name it with --to 127.0.0.1";
        else if (!(i->ifa_flags & IFF_BROADCAST) || !i->ifa_broadaddr)
            why = "no broadcast address";
        if (!why.empty()) {
            skipped.push_back(name + " (" + why + ")");
            continue;
        }
        sockaddr_in to = *reinterpret_cast<const sockaddr_in *>(i->ifa_broadaddr);
        to.sin_family = AF_INET;
        to.sin_port = reach_.dest.sin_port;
        bool seen = false;
        for (const Target &t : targets_)
            seen = seen || t.addr.sin_addr.s_addr == to.sin_addr.s_addr;
        if (!seen) targets_.push_back({to, name});
    }
    std::string left_out;
    for (const std::string &s : skipped)
        left_out += (left_out.empty() ? "" : ", ") + s;
    if (reach_.verbose) {
        if (progress_) progress_->clear();
        if (!targets_.empty()) err_ << label_ << ": asking " << destination() << "\n";
        if (!limited_fault.empty())
            err_ << label_ << ": not asking " << format_endpoint(reach_.dest) << ": "
                 << limited_fault << " (no route carries it)\n";
        if (!left_out.empty()) err_ << label_ << ": left out: " << left_out << "\n";
    }
    if (!targets_.empty()) return true;
    err_ << label_ << ": no network to broadcast on: " << format_endpoint(reach_.dest) << ": "
         << (limited_fault.empty() ? "cannot be used" : limited_fault)
         << " (no route carries it), and no interface that is up has a broadcast address"
         << (left_out.empty() ? "" : " (left out: " + left_out + ")")
         << ". Bring up the interface the gateways are on, or name a gateway with --to ADDR.\n";
    return false;
}

std::string Session::destination() const {
    if (targets_.empty()) return format_endpoint(reach_.dest);
    std::string text;
    for (const Target &t : targets_)
        text += (text.empty() ? "" : ", ") + format_endpoint(t.addr) +
                (t.via.empty() ? "" : " (" + t.via + ")");
    return text;
}

sockaddr_in Session::route_to(const sockaddr_in &from) const {
    if (reach_.unicast) return reach_.dest;
    const uint32_t a = ntohl(from.sin_addr.s_addr);
    if ((a >> 24) == 127) return from;
    for (const Net &n : local_nets_)
        if ((a & n.mask) == (n.addr & n.mask)) return from;
    return broadcast();
}

bool Session::send(const sockaddr_in &to, const void *data, size_t len, std::string *error) {
    for (;;) {
        ssize_t n = sendto(fd_, data, len, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
        if (n == static_cast<ssize_t>(len)) {
            if (reach_.capture) reach_.capture->sent(fd_, to, data, len);
            return true;
        }
        if (n < 0 && errno == EINTR) continue;
        *error = "cannot send to " + format_endpoint(to) + ": " +
                 (n < 0 ? strerror(errno) : "short send") +
                 ". Check the network, or name the gateways' network with --to (for example its "
                 "broadcast address 192.168.0.255)";
        return false;
    }
}

bool Session::receive(Clock::time_point deadline, std::vector<uint8_t> *data, sockaddr_in *from) {
    for (;;) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
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
            // An ICMP error (port unreachable on --to) lands here: keep
            // listening until the deadline.
            if (Clock::now() >= deadline) return false;
            continue;
        }
        if (reach_.capture)
            reach_.capture->received(fd_, *from, data->data(),
                                     std::min(static_cast<size_t>(n), data->size()),
                                     static_cast<size_t>(n));
        // A datagram longer than the buffer keeps a length no reply has.
        data->resize(static_cast<size_t>(n) > data->size() ? data->size() + 1
                                                           : static_cast<size_t>(n));
        return true;
    }
}

void Session::warn(const std::string &text) {
    if (warnings_++ < kMaxWarnings) {
        if (progress_) progress_->clear();
        err_ << label_ << ": warning: " << text << "\n";
    }
}

void Session::finish() {
    if (warnings_ > kMaxWarnings) {
        if (progress_) progress_->clear();
        err_ << label_ << ": warning: " << warnings_ - kMaxWarnings
             << " more datagrams like these were ignored.\n";
    }
    warnings_ = 0;
}

bool Session::counts(const sockaddr_in &from) const {
    return !reach_.unicast || from.sin_addr.s_addr == reach_.dest.sin_addr.s_addr;
}

bool Session::census(const CensusGoal &goal, Census *out) {
    uint8_t request[SEARCH_COMMAND_LEN];
    gwblock::build_discovery_request(request);
    // Late answers to an earlier request are not this census's.
    uint8_t scrap[16];
    while (recv(fd_, scrap, sizeof scrap, MSG_DONTWAIT) >= 0) {
    }
    std::unordered_map<uint64_t, bool> wanted;
    for (const Mac &m : goal.targets)
        wanted[m.key()] = false;
    size_t missing = wanted.size();

    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(reach_.timeout_ms);
    const auto interval = std::chrono::milliseconds(reach_.interval_ms());
    auto next_try = start;
    std::vector<uint8_t> data;
    sockaddr_in from{};
    auto met = [&] {
        if (goal.expect > 0 && out->macs() >= goal.expect) return true;
        return !goal.targets.empty() && missing == 0 && !goal.listen_full;
    };
    for (int tries = 0; !met();) {
        const auto now = Clock::now();
        if (now >= deadline) break;
        if (now >= next_try) {
            if (tries == 0 || goal.targets.empty() || missing > 0) {
                // Every destination that takes it; a failure only when
                // none did.
                std::string errors;
                size_t sent = 0;
                for (const Target &t : targets_) {
                    std::string error;
                    if (send(t.addr, request, sizeof request, &error))
                        ++sent;
                    else if (tries == 0)
                        errors += (errors.empty() ? "" : "; ") + error +
                                  (t.via.empty() ? "" : " (" + t.via + ")");
                }
                if (sent == 0 && tries == 0) {
                    if (progress_) progress_->clear();
                    err_ << label_ << ": " << errors << ".\n";
                    return false;
                }
                if (!errors.empty() && reach_.verbose) warn(errors);
            }
            ++tries;
            next_try = now + interval;
        }
        // A count held back by the rate limit is drawn within 100 ms, not
        // at the next try.
        auto until = std::min(next_try, deadline);
        if (progress_ && !progress_->show(label_ + ": asking " + destination() + ", " +
                                          count_of(out->macs(), "gateway") + " answered"))
            until = std::min(until, Clock::now() + std::chrono::milliseconds(100));
        if (!receive(until, &data, &from)) continue;
        if (!counts(from)) {
            warn("ignoring a reply from " + format_endpoint(from) + ": --to names " +
                 format_address(reach_.dest));
            continue;
        }
        uint8_t mac_bytes[6];
        std::string fault;
        if (!gwblock::parse_discovery_frame(data.data(), data.size(), mac_bytes, nullptr, &fault)) {
            warn("ignoring a reply from " + format_endpoint(from) + ": " + fault);
            continue;
        }
        const Mac mac = mac_of(mac_bytes);
        // The same gateway answers a resent request from the same place with
        // the same block; two gateways that share a MAC address differ in
        // one or the other.
        uint32_t crc = 0;
        memcpy(&crc, data.data() + 8 + gwblock::kCrcOffset, sizeof crc);
        auto it = out->by_mac.find(mac.key());
        if (it != out->by_mac.end()) {
            bool seen = false;
            for (size_t i : it->second)
                seen = seen || (same_endpoint(out->replies[i].from, from) && out->crcs[i] == crc);
            if (seen) continue;
        }
        if (out->replies.size() >= kMaxReplies) {
            ++out->dropped;
            continue;
        }
        Reply r;
        r.from = from;
        if (!gwblock::parse_discovery_reply(data.data(), data.size(), r.mac.bytes, &r.contents,
                                            &fault)) {
            warn("ignoring the reply of " + mac.text() + " from " + format_endpoint(from) + ": " +
                 fault + " (its daemon may be of another version; check its log)");
            continue;
        }
        out->by_mac[mac.key()].push_back(out->replies.size());
        out->replies.push_back(r);
        out->crcs.push_back(crc);
        auto w = wanted.find(mac.key());
        if (w != wanted.end() && !w->second) {
            w->second = true;
            --missing;
        }
    }
    if (progress_) progress_->clear();
    if (out->dropped > 0)
        err_ << label_ << ": warning: more than " << kMaxReplies << " replies; kept the first "
             << kMaxReplies << " and ignored " << out->dropped
             << " more. Is a host flooding this port? Name the gateways' network with --to.\n";
    return true;
}

// One datagram that arrived during run(): to the exchanges it answers.
// Discovery replies of other gateways are expected while probes went out
// (a broadcast probe reaches every gateway); anything else nothing waited
// for is warned about.
void Session::dispatch(const std::vector<uint8_t> &data, const sockaddr_in &from,
                       std::vector<Exchange> &all,
                       const std::unordered_map<uint64_t, std::vector<size_t>> &by_mac,
                       bool probing,
                       const std::function<void(Exchange &, Exchange::State)> &finish) {
    std::string fault;
    if (data.size() == SEARCH_FORMAT_LEN) {
        uint8_t mac_bytes[6];
        if (!gwblock::parse_discovery_frame(data.data(), data.size(), mac_bytes, nullptr, &fault)) {
            warn("ignoring a reply from " + format_endpoint(from) + ": " + fault);
            return;
        }
        const Mac mac = mac_of(mac_bytes);
        auto it = by_mac.find(mac.key());
        if (!probing || it == by_mac.end()) {
            if (!probing)
                warn("ignoring a discovery reply of " + mac.text() + " from " +
                     format_endpoint(from) + ": none was asked for");
            return;
        }
        Reply r;
        r.from = from;
        bool decoded = false;
        for (size_t i : it->second) {
            Exchange &x = all[i];
            if (x.state != Exchange::State::Pending || !x.probe) continue;
            if (x.check_from && !same_endpoint(x.from, from)) {
                warn("ignoring a reply of " + mac.text() + " from " + format_endpoint(from) +
                     ": the gateway answered from " + format_endpoint(x.from));
                continue;
            }
            if (!decoded) {
                if (!gwblock::parse_discovery_reply(data.data(), data.size(), r.mac.bytes,
                                                    &r.contents, &fault)) {
                    warn("ignoring the reply of " + mac.text() + " from " + format_endpoint(from) +
                         ": " + fault);
                    return;
                }
                decoded = true;
            }
            x.answered = true;
            x.last = r;
            switch (x.judge ? x.judge(r) : Verdict::Done) {
                case Verdict::Wait:
                    break;
                case Verdict::Resend:
                    x.resend = true;
                    break;
                case Verdict::Done:
                    finish(x, Exchange::State::Done);
                    break;
                case Verdict::Fail:
                    finish(x, Exchange::State::Failed);
                    break;
            }
        }
        return;
    }
    if (data.size() == SERVER_ACK_MSG_LEN) {
        const Mac mac = mac_of(data.data() + 1);
        auto it = by_mac.find(mac.key());
        bool asked = false;
        if (it != by_mac.end()) {
            for (size_t i : it->second) {
                Exchange &x = all[i];
                if (!x.await_ack) continue;
                asked = true;  // a late or second acknowledgement is no news
                if (x.state != Exchange::State::Pending) continue;
                if (x.check_from && x.from.sin_addr.s_addr != from.sin_addr.s_addr) {
                    warn("ignoring an acknowledgement of " + mac.text() + " from " +
                         format_endpoint(from) + ": the gateway answered from " +
                         format_address(x.from));
                    continue;
                }
                if (!gwblock::parse_server_ack(data.data(), data.size(), x.mac.bytes, &fault)) {
                    warn("ignoring a datagram from " + format_endpoint(from) + ": " + fault);
                    return;
                }
                x.answered = true;
                x.last.from = from;
                finish(x, Exchange::State::Done);
                return;
            }
        }
        if (!asked)
            warn("ignoring a datagram from " + format_endpoint(from) + ": " +
                 (gwblock::parse_server_ack(data.data(), data.size(), mac.bytes, &fault)
                      ? "an acknowledgement of " + mac.text() + ", which was not asked"
                      : fault));
        return;
    }
    warn("ignoring a " + std::to_string(data.size()) + "-byte datagram from " +
         format_endpoint(from) + ": no answer of the configuration protocol");
}

void Session::run(std::vector<Exchange> *exchanges,
                  const std::function<void(const Exchange &)> &each,
                  const std::function<void()> &tick) {
    std::vector<Exchange> &all = *exchanges;
    uint8_t probe[SEARCH_COMMAND_LEN];
    gwblock::build_discovery_request(probe);
    std::unordered_map<uint64_t, std::vector<size_t>> by_mac;
    const auto start = Clock::now();
    const auto interval = std::chrono::milliseconds(reach_.interval_ms());
    size_t pending = 0;
    for (size_t i = 0; i < all.size(); ++i) {
        Exchange &x = all[i];
        if (x.state != Exchange::State::Pending) continue;
        x.deadline = start +
                     std::chrono::milliseconds(x.timeout_ms > 0 ? x.timeout_ms : reach_.timeout_ms);
        x.next_try = start;
        by_mac[x.mac.key()].push_back(i);
        ++pending;
    }
    bool probing = false;
    for (const Exchange &x : all)
        probing = probing || x.probe;
    const std::function<void(Exchange &, Exchange::State)> finish = [&](Exchange &x,
                                                                        Exchange::State state) {
        x.state = state;
        --pending;
        if (each) each(x);
    };
    std::vector<uint8_t> data;
    sockaddr_in from{};
    while (pending > 0) {
        auto now = Clock::now();
        auto wake = now + std::chrono::hours(1);
        for (Exchange &x : all) {
            if (x.state != Exchange::State::Pending) continue;
            if (now >= x.deadline) {
                finish(x, Exchange::State::TimedOut);
                continue;
            }
            if (now >= x.next_try) {
                std::string error;
                bool ok = true;
                if (!x.request.empty() && (x.tries == 0 || x.repeat || x.resend)) {
                    ok = send(x.to, x.request.data(), x.request.size(), &error);
                    x.resend = false;
                }
                if (ok && x.probe) ok = send(x.to, probe, sizeof probe, &error);
                if (!ok) {
                    x.error = error;
                    finish(x, Exchange::State::Failed);
                    continue;
                }
                ++x.tries;
                x.next_try = now + interval;
                if (!x.probe && !x.await_ack) {
                    finish(x, Exchange::State::Done);  // nothing to wait for
                    continue;
                }
            }
            wake = std::min({wake, x.next_try, x.deadline});
        }
        if (pending == 0) break;
        if (tick) {
            tick();
            wake = std::min(wake, now + std::chrono::milliseconds(250));
        }
        // Take everything that arrives before the next try is due.
        while (receive(wake, &data, &from)) {
            dispatch(data, from, all, by_mac, probing, finish);
            if (pending == 0 || Clock::now() >= wake) break;
        }
    }
}

}  // namespace gwcfg
