// Fuzz harness: the configuration tool's reply decoding. The first input
// byte holds flags, the rest is one datagram as a gateway might send it;
// flag bit 0 writes the right CRC into the block a 1033-byte datagram
// carries and bit 1 the right reply checksum, so that mutations get past
// them to the block's fields.
//
// The datagram goes through gwblock::parse_discovery_frame,
// parse_discovery_reply and parse_server_ack, and through the tool itself:
// a responder thread on loopback answers every request of gwcfg::run with
// the datagram first and then with a valid answer of its own (a reply of
// the sentinel gateway, or its ClrCfgBuf acknowledgement), so every run
// ends at once. The harness aborts when
//   - the parsers disagree (a reply that decodes must have a sound frame and
//     a block that re-encodes to the same bytes and carries the frame's MAC);
//   - `gwcfg discover --expect 1 --json` does not list exactly the gateway
//     the datagram names when it is a valid reply, else the sentinel, or
//     warns about a valid reply or not about an invalid one;
//   - `gwcfg show MAC --keys` of a valid reply does not print every key,
//     `gwcfg show MAC` not its page, or its --json output does not serve as
//     a profile that gives the same keys;
//   - `gwcfg clear` does not take a valid acknowledgement at once, or does
//     not warn about a datagram that is none.

#include "codec_fixtures.h"
#include "config_block.h"
#include "config_protocol.h"
#include "gwcfg.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <json/reader.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const uint8_t kSentinelMac[6] = {0x02, 0x00, 0x00, 0x5E, 0x47, 0x01};

[[noreturn]] void Fault(const char *what, const std::string &detail = "") {
    fprintf(stderr, "reply_fuzz: %s%s%s\n", what, detail.empty() ? "" : ":\n", detail.c_str());
    abort();
}

void PutBe32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// Answers on 127.0.0.1: each discovery request with the datagram under
// test and then the sentinel's reply, each command with the datagram and
// then the sentinel's acknowledgement.
class Responder {
public:
    Responder() {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len) != 0)
            Fault("cannot bind the responder's socket");
        port_ = ntohs(a.sin_port);

        gwblock::BlockContents c = codec_test::SampleContents();
        memcpy(c.eqp.mac, kSentinelMac, 6);
        uint8_t block[gwblock::kBlockSize];
        gwblock::encode(c, block);
        gwblock::build_discovery_reply(reply_, kSentinelMac, block);
        memset(ack_, 0, sizeof ack_);
        ack_[0] = REPLY_MARKER;
        memcpy(ack_ + gwproto::kReplyMacOffset, kSentinelMac, gwproto::kMacSize);
        memcpy(ack_ + gwproto::kAckTextOffset, gwproto::kAckText, sizeof gwproto::kAckText);

        thread_ = std::thread([this] {
            Loop();
        });
    }

    ~Responder() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }

    uint16_t port() const { return port_; }

    void Set(const std::vector<uint8_t> &datagram) {
        std::lock_guard<std::mutex> g(mu_);
        datagram_ = datagram;
    }

private:
    void Loop() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) != 1) continue;
            uint8_t buf[2048];
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n =
                recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
            if (n != SEARCH_COMMAND_LEN && n != MESSAGE_COMMAND_LEN)
                continue;  // updates get no answer
            std::vector<uint8_t> first;
            {
                std::lock_guard<std::mutex> g(mu_);
                first = datagram_;
            }
            const auto *to = reinterpret_cast<const sockaddr *>(&from);
            sendto(fd_, first.data(), first.size(), 0, to, len);
            if (n == SEARCH_COMMAND_LEN)
                sendto(fd_, reply_, sizeof reply_, 0, to, len);
            else
                sendto(fd_, ack_, sizeof ack_, 0, to, len);
        }
    }

    int fd_ = -1;
    uint16_t port_ = 0;
    uint8_t reply_[SEARCH_FORMAT_LEN];
    uint8_t ack_[SERVER_ACK_MSG_LEN];
    std::mutex mu_;
    std::vector<uint8_t> datagram_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

Responder &TheResponder() {
    static Responder r;
    return r;
}

struct Run {
    int status;
    std::string out, err;
};

Run Tool(std::vector<std::string> args) {
    args.insert(args.end(), {"--to", "127.0.0.1", "--port", std::to_string(TheResponder().port()),
                             "--timeout", "5000"});
    std::ostringstream out, err;
    const int status = gwcfg::run(args, out, err);
    return {status, out.str(), err.str()};
}

Json::Value ParseJson(const std::string &text) {
    Json::CharReaderBuilder rb;
    std::unique_ptr<Json::CharReader> reader(rb.newCharReader());
    Json::Value v;
    std::string errs;
    if (!reader->parse(text.data(), text.data() + text.size(), &v, &errs))
        Fault("the tool printed JSON that does not parse", text);
    return v;
}

bool Has(const std::string &text, const char *what) { return text.find(what) != std::string::npos; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    std::vector<uint8_t> d(data + 1, data + size);
    if (d.size() == SEARCH_FORMAT_LEN) {
        uint8_t *block = d.data() + 8;
        if (data[0] & 1)
            PutBe32(block + gwblock::kCrcOffset, gwblock::crc32(block, gwblock::kCrcOffset));
        if (data[0] & 2) d[8 + gwblock::kBlockSize] = gwblock::reply_checksum(block);
    }

    // The parsers on their own.
    uint8_t frame_mac[6], frame_block[gwblock::kBlockSize], mac[6];
    gwblock::BlockContents contents;
    std::string fault;
    const bool frame =
        gwblock::parse_discovery_frame(d.data(), d.size(), frame_mac, frame_block, &fault);
    const bool reply = gwblock::parse_discovery_reply(d.data(), d.size(), mac, &contents, &fault);
    const bool ack = gwblock::parse_server_ack(d.data(), d.size(), kSentinelMac, &fault);
    if (reply) {
        uint8_t again[gwblock::kBlockSize];
        gwblock::encode(contents, again);
        if (!frame || memcmp(mac, frame_mac, 6) != 0 || memcmp(contents.eqp.mac, mac, 6) != 0 ||
            memcmp(again, frame_block, sizeof again) != 0)
            Fault("a reply that decodes has an unsound frame or block");
    }

    Responder &responder = TheResponder();
    responder.Set(d);

    // discover: the datagram's gateway when it is a valid reply, else the sentinel.
    Run r = Tool({"discover", "--expect", "1", "--json"});
    if (r.status != gwcfg::kExitOk) Fault("discover failed", r.err);
    const Json::Value list = ParseJson(r.out);
    const std::string want_mac = gwblock::format_mac(reply ? mac : kSentinelMac);
    if (!list.isArray() || list.size() != 1 || list[0]["mac"].asString() != want_mac)
        Fault("discover lists another gateway", r.out);
    if (Has(r.err, "warning: ignoring") == reply)
        Fault(reply ? "discover warned about a valid reply"
                    : "discover took an invalid reply silently",
              r.err);

    if (reply) {
        const std::string mac_text = gwblock::format_mac(mac);
        r = Tool({"show", mac_text, "--keys"});
        size_t lines = 0;
        for (char c : r.out)
            lines += c == '\n';
        if (r.status != gwcfg::kExitOk || lines != gwblock::key_table().size() + 1)
            Fault("show --keys does not print every key", r.out + r.err);
        r = Tool({"show", mac_text});
        if (r.status != gwcfg::kExitOk ||
            r.out.compare(0, 8 + mac_text.size(), "gateway " + mac_text) != 0)
            Fault("show does not print the gateway's page", r.out + r.err);
        r = Tool({"show", mac_text, "--json"});
        if (r.status != gwcfg::kExitOk) Fault("show --json failed", r.err);
        gwblock::BlockContents from_profile{};
        if (!gwblock::apply_json_profile(ParseJson(r.out), &from_profile, &fault))
            Fault("show --json output is refused as a profile", fault);
        if (!gwblock::diff_keys(contents, from_profile, true).empty())
            Fault("show --json output gives other keys as a profile", r.out);
    }

    // clear: the datagram first, then the sentinel's acknowledgement.
    r = Tool({"clear", gwblock::format_mac(kSentinelMac)});
    if (r.status != gwcfg::kExitOk) Fault("clear did not take the acknowledgement", r.err);
    if (Has(r.err, "warning: ignoring") == ack)
        Fault(ack ? "clear warned about a valid acknowledgement"
                  : "clear took a datagram that is no acknowledgement silently",
              r.err);
    return 0;
}
