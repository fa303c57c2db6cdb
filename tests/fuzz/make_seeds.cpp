// Writes the seed corpora of the datagram, probe, respawn, codec and reply
// harnesses:
//
//   fuzz_make_seeds tests/fuzz/corpus
//
// The seeds are committed; run this again only to change them. Blocks and
// replies come from the codec itself (gwblock::encode) over the records of
// the codec tests, so they stay valid when the layout changes.

#include "codec_fixtures.h"
#include "config_block.h"
#include "config_protocol.h"

#include <sys/stat.h>

#include <algorithm>
#include <cfloat>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const uint8_t kSentinelMac[6] = {0x02, 0x00, 0x00, 0x5E, 0x47, 0x01};  // reply_fuzz.cpp

std::string g_root;
int g_written = 0;

void Put(const std::string &harness, const std::string &name, const Bytes &bytes) {
    const std::string dir = g_root + "/" + harness;
    mkdir(dir.c_str(), 0755);
    const std::string path = dir + "/" + name;
    FILE *f = fopen(path.c_str(), "wb");
    if (!f || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || fclose(f) != 0) {
        perror(path.c_str());
        exit(1);
    }
    ++g_written;
}

void Put(const std::string &harness, const std::string &name, const std::string &text) {
    Put(harness, name, Bytes(text.begin(), text.end()));
}

std::string PadTo(std::string s, size_t n) {
    s.resize(n, ' ');
    return s;
}

// ---- datagram: one UDP datagram ----------------------------------------------
const uint8_t kDatagramMac[6] = {0x02, 0x00, 0x00, 0xC0, 0xFF, 0xEE};  // datagram_fuzz.cpp
const uint8_t kOtherMac[6] = {0x02, 0x00, 0x00, 0xC0, 0xFF, 0xEF};

Bytes Discovery(const char *magic = SEARCH_MAGIC) {
    Bytes d(SEARCH_COMMAND_LEN, 0);
    memcpy(d.data(), magic, SEARCH_MAGIC_LEN);
    return d;
}

// A command as a sender may write it: the name may fill its field without a
// NUL. The service fields carry 127.0.0.1, port 48369, type 1.
Bytes Command(const std::string &name, const std::string &arg = "",
              const uint8_t *mac = kDatagramMac) {
    Bytes d(MESSAGE_COMMAND_LEN, 0);
    memcpy(d.data() + gwproto::kCommandMacOffset, mac, gwproto::kMacSize);
    memcpy(d.data() + gwproto::kCommandTextOffset, name.data(),
           std::min(name.size(), gwproto::kCommandTextField));
    memcpy(d.data() + gwproto::kArgumentOffset, arg.data(),
           std::min(arg.size(), gwproto::kArgumentField));
    const uint8_t service[] = {127, 0, 0, 1, 0xBC, 0xF1, 0x00, 0x01};
    memcpy(d.data() + gwproto::kServiceIpOffset, service, sizeof service);
    return d;
}

Bytes Update(const uint8_t *mac = kDatagramMac) {
    Bytes d(UPDATE_COMMAND_LEN, 0);
    memcpy(d.data() + gwproto::kUpdateMacOffset, mac, gwproto::kMacSize);
    for (size_t i = 0; i < UPDATE_PAYLOAD_SIZE; ++i)
        d[gwproto::kUpdateBlockOffset + i] = static_cast<uint8_t>(i * 31 + 7);
    return d;
}

Bytes Resized(Bytes d, size_t n) {
    d.resize(n, 0);
    return d;
}

void DatagramSeeds() {
    using gwproto::kCommandClear;
    using gwproto::kCommandTimeSync;
    Put("datagram", "discovery", Discovery());
    Put("datagram", "discovery-bad-magic", Discovery("Vorna Inc. QLm "));
    Put("datagram", "cmd-reboot", Command(gwproto::kCommandReboot));
    Put("datagram", "cmd-timesync", Command(kCommandTimeSync, "20240102 03:04:05"));
    Put("datagram", "cmd-timesync-iso", Command(kCommandTimeSync, "2024-01-02T03:04:05"));
    Put("datagram", "cmd-timesync-full-field", Command(kCommandTimeSync, "@1700000000 +0000 ab"));
    Put("datagram", "cmd-timesync-injection", Command(kCommandTimeSync, "1\"; touch /tmp/x; \""));
    Put("datagram", "cmd-timesync-subshell", Command(kCommandTimeSync, "$(id)"));
    Put("datagram", "cmd-timesync-empty", Command(kCommandTimeSync));
    // Dates after any build: these reach the date command.
    Put("datagram", "cmd-timesync-future", Command(kCommandTimeSync, "20991207 09:05:03"));
    Put("datagram", "cmd-timesync-future-seconds", Command(kCommandTimeSync, "@4102444800"));
    Put("datagram", "cmd-timesync-future-month-name",
        Command(kCommandTimeSync, "Dec 7, 2099 9:05pm"));
    Put("datagram", "cmd-timesync-future-offset",
        Command(kCommandTimeSync, "2099-12-07T9:05+0100"));
    Put("datagram", "cmd-timesync-epoch", Command(kCommandTimeSync, "@0"));
    Put("datagram", "cmd-timesync-relative", Command(kCommandTimeSync, "2099-12-07 -1 year"));
    Put("datagram", "cmd-clrcfgbuf", Command(kCommandClear));
    Put("datagram", "cmd-clrcfgbuf-other-mac", Command(kCommandClear, "", kOtherMac));
    Put("datagram", "cmd-unknown", Command("Blink"));
    Put("datagram", "cmd-name-fills-field", Command("ClrCfgBufXYZ"));
    Put("datagram", "update", Update());
    Put("datagram", "update-other-mac", Update(kOtherMac));
    Put("datagram", "len-0", Bytes());
    Put("datagram", "len-1", Bytes{REPLY_MARKER});
    Put("datagram", "len-23", Resized(Discovery(), SEARCH_COMMAND_LEN - 1));
    Put("datagram", "len-25", Resized(Discovery(), SEARCH_COMMAND_LEN + 1));
    Put("datagram", "len-79", Resized(Command(kCommandClear), MESSAGE_COMMAND_LEN - 1));
    Put("datagram", "len-81", Resized(Command(kCommandClear), MESSAGE_COMMAND_LEN + 1));
    Put("datagram", "len-1047", Resized(Update(), UPDATE_COMMAND_LEN - 1));
    Put("datagram", "len-1049", Resized(Update(), UPDATE_COMMAND_LEN + 1));
    Bytes counting(RECV_BUF_SIZE, 0);
    for (size_t i = 0; i < 1024; ++i)
        counting[i] = static_cast<uint8_t>(i);
    Put("datagram", "len-1200", counting);
    Put("datagram", "len-1201", Resized(Update(), RECV_BUF_SIZE + 1));
}

// ---- probe: ipaddr_1 0x1E gateway_1 0x1E dns_1 -----------------------------
void ProbeSeeds() {
    const std::string rs = "\x1e";
    const std::string ip = "addr:10.1.2.3 Bcast:10.1.255.255 Mask:255.255.0.0\n";
    Put("probe", "all-three",
        ip + rs + "default 10.1.0.1\n" + rs + "nameserver 10.1.0.2 10.1.0.3\n");
    Put("probe", "dns-two-lines-crlf",
        ip + rs + "default 10.1.0.1\n" + rs + "nameserver 10.1.0.2\r\nnameserver 10.1.0.3\r\n");
    Put("probe", "ifconfig-labels",
        "inet addr:192.168.0.20  Bcast:192.168.0.255  Mask:255.255.255.0\n" + rs +
            "gw     192.168.0.1 dev eth0\n" + rs + "nameserver 192.168.0.1\n");
    Put("probe", "all-null",
        "addr:(null) Bcast:(null) Mask:(null)\n" + rs + "default (null)\n" + rs +
            "nameserver (null)\n");
    Put("probe", "null-primary-real-secondary",
        ip + rs + "default\n" + rs + "dns (null) 10.1.0.3\n");
    Put("probe", "inet-aton-forms",
        "addr:0x0a.1.0377 Bcast:1 Mask:0xffff0000\n" + rs + "default 167837697\n" + rs +
            "ns 10.513 012.0.0.1\n");
    Put("probe", "not-addresses",
        "addr:eth0 Bcast:none Mask:none\n" + rs + "default eth0\n" + rs + "nameserver\n");
    Put("probe", "only-ipaddr", ip);
    Put("probe", "empty-files", rs + rs);
    Put("probe", "only-colons", ":::" + rs + "   " + rs + "     ");
    Put("probe", "nul-byte",
        std::string("addr:10.1.2.3 Bcast:10.1.255.255\0 Mask:255.255.0.0\n", 51) + rs +
            std::string("default\0 10.1.0.1\n", 18) + rs + "nameserver 10.1.0.2 10.1.0.3\n");
    Put("probe", "cut-at-255",
        PadTo("addr:10.1.2.3 Bcast:10.1.255.255 Mask:", 244) + "255.255.0.0\n" + rs +
            PadTo("default", 250) + "10.1.0.1\n" + rs + PadTo("nameserver", 250) + "10.1.0.2\n");
}

// ---- respawn: events separated by 0x1E, 0x1F <errno pick> a failed receive ---
void RespawnSeeds() {
    const std::string rs = "\x1e";
    auto fail = [](int pick) {
        return std::string("\x1f") + static_cast<char>(pick);
    };
    Put("respawn", "fix-ip-mode", "fix_ip mode:1234");
    Put("respawn", "dhcp", "dhcp:42");
    Put("respawn", "extra-field", "dhcp:42:extra");
    Put("respawn", "no-colon", "restart please");
    Put("respawn", "empty-pid", "dhcp:");
    Put("respawn", "pid-zero", "dhcp:0000");
    Put("respawn", "pid-signed", "dhcp:-5");
    Put("respawn", "pid-blank", "dhcp: 7");
    Put("respawn", "pid-max", "dhcp:2147483647");
    Put("respawn", "pid-over", "dhcp:2147483648");
    Put("respawn", "pid-huge", "dhcp:99999999999999999999999");
    Put("respawn", "empty-mode", ":1");
    Put("respawn", "nul-inside", std::string("dhcp:1\0:junk", 12));
    Put("respawn", "length-50", PadTo("m:1:", 50));
    Put("respawn", "length-51", PadTo("m:1:", 51));
    Put("respawn", "oversized-then-request", PadTo("m:2:", 400) + rs + "dhcp:3");
    Put("respawn", "removed-then-request", fail(1) + rs + "dhcp:7");
    Put("respawn", "invalid-then-request", fail(2) + rs + "fix_ip mode:8");
    Put("respawn", "interrupted-and-failures",
        fail(0) + rs + fail(3) + rs + fail(4) + rs + fail(5) + rs + "dhcp:9");
    Put("respawn", "several-requests",
        "dhcp:10" + rs + "bad" + rs + "fix_ip mode:11" + rs + rs + fail(1) + rs + "dhcp:12");
}

// ---- codec: flags byte, then a block (or the raw memory of a record) --------
Bytes Encoded(const gwblock::BlockContents &c) {
    Bytes b(gwblock::kBlockSize);
    gwblock::encode(c, b.data());
    return b;
}

Bytes WithFlags(uint8_t flags, const Bytes &rest) {
    Bytes out(rest.size() + 1);
    out[0] = flags;
    std::copy(rest.begin(), rest.end(), out.begin() + 1);
    return out;
}

void CodecSeeds() {
    const gwblock::BlockContents sample = codec_test::SampleContents();
    const Bytes block = Encoded(sample);
    Put("codec", "sample", WithFlags(0, block));
    Put("codec", "sample-fixed", WithFlags(3, block));
    for (uint32_t seed = 1; seed <= 4; ++seed)
        Put("codec", "random-" + std::to_string(seed),
            WithFlags(0, Encoded(codec_test::RandomContents(seed))));
    Put("codec", "zero-contents", WithFlags(0, Encoded(gwblock::BlockContents{})));
    Put("codec", "all-zero", WithFlags(0, Bytes(gwblock::kBlockSize, 0)));
    Put("codec", "short", WithFlags(3, Bytes(block.begin(), block.begin() + 100)));

    Bytes bad = block;
    bad[300] ^= 0x01;
    Put("codec", "bad-crc", WithFlags(0, bad));
    bad = block;
    bad[0] = 'X';
    Put("codec", "bad-magic", WithFlags(2, bad));
    bad = block;
    bad[5] = 2;
    Put("codec", "bad-version", WithFlags(2, bad));

    // Field faults, with the CRC fixed up by the harness.
    const gwblock::KeyInfo *name = gwblock::find_key("gateway_conf.server_address");
    const gwblock::KeyInfo *rssi = gwblock::find_key("SX1301_conf.radio_0.rssi_offset");
    const gwblock::KeyInfo *flag = gwblock::find_key("SX1301_conf.lorawan_public");
    if (!name || !rssi || !flag) {
        fprintf(stderr, "make_seeds: a key of the seeds is gone from the key table\n");
        exit(1);
    }
    bad = block;
    memset(bad.data() + name->block_offset, 'a', name->size);
    Put("codec", "text-not-terminated", WithFlags(2, bad));
    bad = block;
    bad[name->block_offset + name->size - 1] = 'x';
    bad[name->block_offset] = 0;
    Put("codec", "text-after-terminator", WithFlags(2, bad));
    bad = block;
    bad[name->block_offset] = 0x7F;
    Put("codec", "text-not-printable", WithFlags(2, bad));
    bad = block;
    bad[flag->block_offset] = 2;
    Put("codec", "flag-two", WithFlags(2, bad));
    const struct {
        const char *name;
        float value;
    } floats[] = {{"float-negative-zero", -0.0f},
                  {"float-subnormal", 1.4e-45f},
                  {"float-max", FLT_MAX},
                  {"float-infinity", HUGE_VALF},
                  {"float-nan", __builtin_nanf("")},
                  {"float-small", 1.17549435e-38f}};
    for (const auto &f : floats) {
        gwblock::BlockContents c = sample;
        memcpy(reinterpret_cast<uint8_t *>(&c) + rssi->member_offset, &f.value, 4);
        Put("codec", f.name, WithFlags(2, Encoded(c)));
    }
    for (const gwblock::KeyInfo &key : gwblock::key_table()) {
        if (key.kind != gwblock::ValueKind::U32 && key.kind != gwblock::ValueKind::I32) continue;
        if (key.max >= 0xFFFFFFFFLL && key.min <= -0x80000000LL) continue;
        gwblock::BlockContents c = sample;
        const uint32_t over = static_cast<uint32_t>(key.max + 1);
        memcpy(reinterpret_cast<uint8_t *>(&c) + key.member_offset, &over, 4);
        Put("codec", "out-of-range-" + key.path, WithFlags(2, Encoded(c)));
        break;  // one is enough: the fuzzer finds the others
    }
    bad = block;
    bad[15] = 1;  // reserved
    Put("codec", "reserved-byte", WithFlags(2, bad));

    auto raw = [](const gwblock::BlockContents &c) {
        const auto *p = reinterpret_cast<const uint8_t *>(&c);
        return WithFlags(0x80, Bytes(p, p + sizeof c));
    };
    Put("codec", "record-sample", raw(sample));
    Put("codec", "record-random", raw(codec_test::RandomContents(5)));
    gwblock::BlockContents unterminated = sample;
    memset(unterminated.gw.gateway_conf.server_address, 'r',
           sizeof unterminated.gw.gateway_conf.server_address);
    Put("codec", "record-text-fills-array", raw(unterminated));
}

// ---- reply: flags byte, then one datagram ------------------------------------
Bytes Reply(const uint8_t mac[6], const Bytes &block) {
    Bytes r(SEARCH_FORMAT_LEN);
    gwblock::build_discovery_reply(r.data(), mac, block.data());
    return r;
}

Bytes Ack(const uint8_t mac[6], const char *text = gwproto::kAckText) {
    Bytes a(SERVER_ACK_MSG_LEN, 0);
    a[0] = REPLY_MARKER;
    memcpy(a.data() + gwproto::kReplyMacOffset, mac, gwproto::kMacSize);
    memcpy(a.data() + gwproto::kAckTextOffset, text, strlen(text) + 1);
    return a;
}

void ReplySeeds() {
    gwblock::BlockContents sample = codec_test::SampleContents();
    const Bytes block = Encoded(sample);
    Put("reply", "sample", WithFlags(0, Reply(sample.eqp.mac, block)));
    gwblock::BlockContents sentinel = sample;
    memcpy(sentinel.eqp.mac, kSentinelMac, 6);
    Put("reply", "sentinel-mac", WithFlags(0, Reply(kSentinelMac, Encoded(sentinel))));
    gwblock::BlockContents random = codec_test::RandomContents(6);
    Put("reply", "random", WithFlags(0, Reply(random.eqp.mac, Encoded(random))));

    Bytes r = Reply(sample.eqp.mac, block);
    r[gwproto::kReplyBlockOffset + 200] ^= 0x40;
    Put("reply", "block-changed-fixed", WithFlags(3, r));
    Put("reply", "block-changed-bad-crc", WithFlags(2, r));
    r = Reply(sample.eqp.mac, block);
    r.back() ^= 1;
    Put("reply", "bad-checksum", WithFlags(0, r));
    Put("reply", "mac-differs", WithFlags(0, Reply(kSentinelMac, block)));
    r = Reply(sample.eqp.mac, block);
    r[0] = 'W';
    Put("reply", "bad-marker", WithFlags(0, r));
    r = Reply(sample.eqp.mac, block);
    r.pop_back();
    Put("reply", "length-1032", WithFlags(0, r));
    r = Reply(sample.eqp.mac, block);
    r.push_back(0);
    Put("reply", "length-1034", WithFlags(0, r));
    Put("reply", "empty", WithFlags(0, Bytes()));

    Put("reply", "ack", WithFlags(0, Ack(kSentinelMac)));
    Put("reply", "ack-other-mac", WithFlags(0, Ack(sample.eqp.mac)));
    Put("reply", "ack-other-text", WithFlags(0, Ack(kSentinelMac, "ReceiveConfiG")));
    Bytes a = Ack(kSentinelMac);
    a.pop_back();
    Put("reply", "ack-length-31", WithFlags(0, a));
    a = Ack(kSentinelMac);
    a.push_back(0);
    Put("reply", "ack-length-33", WithFlags(0, a));
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s CORPUS_DIR (tests/fuzz/corpus)\n", argv[0]);
        return 2;
    }
    g_root = argv[1];
    DatagramSeeds();
    ProbeSeeds();
    RespawnSeeds();
    CodecSeeds();
    ReplySeeds();
    printf("%d seeds written under %s\n", g_written, g_root.c_str());
    return 0;
}
