// A small stand-in for one or more gateways behind one loopback UDP socket:
// it answers discovery requests with blocks the codec encodes, acknowledges
// ClrCfgBuf, applies updates whose revision matches (as a daemon does) and
// records every datagram it receives.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "config_block.h"
#include "config_protocol.h"

namespace codec_test {

class FakeGateway {
public:
    struct Unit {
        gwblock::BlockContents contents;
        bool answer_discovery = true;
        bool bad_checksum = false;  // reply with a wrong checksum
        bool bad_block = false;     // reply with a block whose CRC is wrong
        bool take_updates = true;   // apply updates with the current revision
        bool ack_clear = true;
        bool bad_ack = false;  // acknowledge with a wrong text
        // Runs after an update was applied (to fake a gateway that changes
        // something on its own).
        std::function<void(gwblock::BlockContents &)> after_update;
        // With forge_from(): every discovery request is also answered from
        // the forger's address with what the last update for this unit
        // asked for, as taken (the revision moved on), whether the unit took
        // it or not.
        bool forge_readback = false;
        // The last update for this unit that decoded (kept by the fake).
        gwblock::BlockContents asked{};
        bool has_asked = false;
    };

    // Bound to 127.0.0.1 on a free port, or (any_address) to every local
    // address on the given port, where broadcasts arrive too.
    explicit FakeGateway(bool any_address = false, uint16_t port = 0) {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) throw std::runtime_error("socket");
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(any_address ? INADDR_ANY : INADDR_LOOPBACK);
        a.sin_port = htons(port);
        if (bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
            throw std::runtime_error("bind");
        socklen_t len = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] {
            loop();
        });
    }

    ~FakeGateway() {
        stop_ = true;
        thread_.join();
        close(fd_);
        if (forge_fd_ >= 0) close(forge_fd_);
    }

    // A second socket on the same port at another loopback address (say
    // 127.0.0.2), from which the forged replies of forge_readback units come.
    void forge_from(const char *address) {
        std::lock_guard<std::mutex> g(mu_);
        forge_fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, address, &a.sin_addr);
        a.sin_port = htons(port_);
        if (forge_fd_ < 0 || bind(forge_fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
            throw std::runtime_error("bind forger");
    }

    FakeGateway(const FakeGateway &) = delete;
    FakeGateway &operator=(const FakeGateway &) = delete;

    uint16_t port() const { return port_; }

    void add(const Unit &u) {
        std::lock_guard<std::mutex> g(mu_);
        units_.push_back(u);
    }

    void edit(size_t i, const std::function<void(Unit &)> &f) {
        std::lock_guard<std::mutex> g(mu_);
        f(units_.at(i));
    }

    gwblock::BlockContents contents(size_t i) {
        std::lock_guard<std::mutex> g(mu_);
        return units_.at(i).contents;
    }

    // Everything received so far, once every datagram sent before the call
    // has been handled.
    std::vector<std::vector<uint8_t>> received() {
        sync();
        std::lock_guard<std::mutex> g(mu_);
        return received_;
    }

    // Sends a one-byte marker and waits (at most 2 s) until the loop has
    // handled it: whatever reached the socket before it is then recorded.
    void sync() {
        int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port_);
        const unsigned before = markers_;
        const uint8_t marker = kMarker;
        sendto(s, &marker, 1, 0, reinterpret_cast<sockaddr *>(&a), sizeof a);
        close(s);
        for (int i = 0; i < 400 && markers_ == before; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    std::vector<std::vector<uint8_t>> received(size_t size) {
        std::vector<std::vector<uint8_t>> out;
        for (auto &d : received())
            if (d.size() == size) out.push_back(d);
        return out;
    }

private:
    void loop() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            uint8_t buf[RECV_BUF_SIZE];
            sockaddr_in from{};
            socklen_t alen = sizeof from;
            ssize_t n =
                recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &alen);
            if (n < 0) continue;
            if (n == 1 && buf[0] == kMarker) {
                ++markers_;
                continue;
            }
            std::lock_guard<std::mutex> g(mu_);
            received_.emplace_back(buf, buf + n);
            handle(buf, static_cast<size_t>(n), from);
        }
    }

    void reply(const void *data, size_t len, const sockaddr_in &to) {
        sendto(fd_, data, len, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    }

    void handle(const uint8_t *buf, size_t n, const sockaddr_in &from) {
        if (n == SEARCH_COMMAND_LEN && memcmp(buf, SEARCH_MAGIC, SEARCH_MAGIC_LEN) == 0) {
            for (Unit &u : units_) {
                if (!u.answer_discovery) continue;
                uint8_t block[gwblock::kBlockSize];
                gwblock::encode(u.contents, block);
                if (u.bad_block) block[600] ^= 0x01;  // CRC no longer matches
                uint8_t r[SEARCH_FORMAT_LEN];
                gwblock::build_discovery_reply(r, u.contents.eqp.mac, block);
                if (u.bad_checksum) r[SEARCH_FORMAT_LEN - 1] ^= 0x5A;
                reply(r, sizeof r, from);
                if (forge_fd_ >= 0 && u.forge_readback && u.has_asked) {
                    gwblock::BlockContents forged = u.asked;
                    ++forged.revision;
                    gwblock::encode(forged, block);
                    gwblock::build_discovery_reply(r, u.contents.eqp.mac, block);
                    sendto(forge_fd_, r, sizeof r, 0, reinterpret_cast<const sockaddr *>(&from),
                           sizeof from);
                }
            }
        } else if (n == MESSAGE_COMMAND_LEN) {
            for (Unit &u : units_) {
                if (memcmp(buf + gwproto::kCommandMacOffset, u.contents.eqp.mac,
                           gwproto::kMacSize) != 0)
                    continue;
                if (strncmp(reinterpret_cast<const char *>(buf + gwproto::kCommandTextOffset),
                            gwproto::kCommandClear, gwproto::kCommandTextField) == 0 &&
                    u.ack_clear) {
                    uint8_t ack[SERVER_ACK_MSG_LEN] = {};
                    ack[0] = REPLY_MARKER;
                    memcpy(ack + gwproto::kReplyMacOffset, u.contents.eqp.mac, gwproto::kMacSize);
                    memcpy(ack + gwproto::kAckTextOffset, gwproto::kAckText,
                           sizeof gwproto::kAckText);
                    if (u.bad_ack) ack[gwproto::kAckTextOffset + 12] = 'G';  // "ReceiveConfiG"
                    reply(ack, sizeof ack, from);
                }
            }
        } else if (n == UPDATE_COMMAND_LEN) {
            for (Unit &u : units_) {
                if (memcmp(buf + gwproto::kUpdateMacOffset, u.contents.eqp.mac,
                           gwproto::kMacSize) != 0)
                    continue;
                gwblock::BlockContents in;
                if (!gwblock::decode(buf + gwproto::kUpdateBlockOffset, &in, nullptr)) continue;
                u.asked = in;
                u.has_asked = true;
                if (!u.take_updates || in.revision != u.contents.revision) continue;
                gwblock::apply_block(in, &u.contents.eqp, &u.contents.gw);
                ++u.contents.revision;
                if (u.after_update) u.after_update(u.contents);
            }
        }
    }

    static constexpr uint8_t kMarker = 0xA5;
    std::atomic<unsigned> markers_{0};
    int fd_ = -1;
    int forge_fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::vector<Unit> units_;
    std::vector<std::vector<uint8_t>> received_;
    std::thread thread_;
};

}  // namespace codec_test
