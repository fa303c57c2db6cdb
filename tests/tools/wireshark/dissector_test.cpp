// The Wireshark dissector (tools/wireshark/gwcfg.lua) read by Debian's
// tshark on captures that gwcfg --capture wrote: exchanges with a real
// gwcfgd on loopback, checked key by key against the codec, and malformed
// datagrams from a hostile host, each flagged by expert info without a Lua
// error. Skips when tshark is missing, unless CI is set.
#include "daemon_harness.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config_block.h"
#include "config_protocol.h"

using gwdtest::Daemon;
using gwtest::TempDir;

namespace {

const std::string kTool = GWCFG_PATH;
const std::string kDissector = GW_DISSECTOR;

std::string FindTshark() {
    for (const char *dir : {"/usr/bin", "/usr/local/bin", "/bin"}) {
        const std::string path = std::string(dir) + "/tshark";
        if (access(path.c_str(), X_OK) == 0) return path;
    }
    return "";
}

// The lines of `text` split at tabs.
std::vector<std::vector<std::string>> Rows(const std::string &text) {
    std::vector<std::vector<std::string>> rows;
    for (const std::string &line : gwtest::SplitLines(text)) {
        if (line.empty()) continue;
        std::vector<std::string> cells;
        size_t start = 0;
        for (;;) {
            const size_t tab = line.find('\t', start);
            cells.push_back(line.substr(start, tab - start));
            if (tab == std::string::npos) break;
            start = tab + 1;
        }
        rows.push_back(cells);
    }
    return rows;
}

class Dissector : public ::testing::Test {
protected:
    void SetUp() override {
        tshark_ = FindTshark();
        if (tshark_.empty()) {
            if (getenv("CI")) FAIL() << "tshark is missing; scripts/install-deps.sh installs it";
            GTEST_SKIP()
                << "tshark is missing (apt-get install tshark, or scripts/install-deps.sh)";
        }
    }

    void StartDaemon() {
        gwdtest::WriteFixtureSiteScripts(state_.path());
        daemon_ = std::make_unique<Daemon>(state_.path(), std::vector<std::string>{},
                                           std::vector<std::string>{}, "02:00:5e:10:00:17");
        ASSERT_TRUE(daemon_->WaitReady()) << daemon_->Log();
    }

    // gwcfg VERB ARGS... --to 127.0.0.1:port --capture FILE; its exit status.
    int Tool(const std::vector<std::string> &args, int port, const std::string &capture,
             std::string *out = nullptr) {
        std::vector<std::string> argv = {kTool};
        argv.insert(argv.end(), args.begin(), args.end());
        for (const std::string &a :
             {std::string("--to"), "127.0.0.1:" + std::to_string(port), std::string("--timeout"),
              std::string("400"), std::string("--capture"), capture})
            argv.push_back(a);
        std::string err;
        const int status = gwtest::RunProgram(argv, out, &err, 20000);
        EXPECT_TRUE(gwtest::FileExists(capture)) << err;
        return status;
    }

    // tshark with the dissector on `port` (Decode As: the daemon's port is
    // not the default one); its standard output. No run may hit a Lua error.
    std::string Tshark(const std::string &capture, int port, const std::vector<std::string> &args) {
        std::vector<std::string> argv = {tshark_, "-n",
                                         "-X",    "lua_script:" + kDissector,
                                         "-o",    "ip.check_checksum:TRUE",
                                         "-d",    "udp.port==" + std::to_string(port) + ",gwcfg",
                                         "-r",    capture};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string out, err;
        const int status = gwtest::RunProgram(argv, &out, &err, 60000);
        EXPECT_EQ(status, 0) << err;
        EXPECT_EQ(out.find("Lua Error"), std::string::npos) << out;
        EXPECT_EQ(err.find("Lua Error"), std::string::npos) << err;
        return out;
    }

    std::string tshark_;
    TempDir state_, work_;
    std::unique_ptr<Daemon> daemon_;
};

// Every key of a real reply, as `gwcfg show --keys` prints it with the
// key's unit, and the framing around it.
TEST_F(Dissector, ShowsEveryKeyOfAReplyAsTheCodecPrintsIt) {
    StartDaemon();
    const std::string capture = work_.file("show.pcap");
    ASSERT_EQ(Tool({"show", daemon_->mac_text()}, daemon_->port(), capture), 0);
    gwblock::BlockContents expected{};
    ASSERT_TRUE(gwdtest::Discover(daemon_->port(), &expected));

    const std::string tree = Tshark(capture, daemon_->port(), {"-O", "gwcfg"});
    size_t shown = 0;
    for (const gwblock::KeyInfo &k : gwblock::key_table()) {
        const std::string line = "    " + k.path + ": " + gwblock::format_with_unit(expected, k) +
                                 "\n";
        EXPECT_NE(tree.find(line), std::string::npos) << "no line \"" << line << "\" in\n" << tree;
        ++shown;
    }
    EXPECT_GT(shown, 100u);

    // The framing, and the addresses and ports of the real exchange.
    const auto rows = Rows(Tshark(capture, daemon_->port(), {"-T", "fields",
                                                             "-e", "gwcfg.kind",
                                                             "-e", "gwcfg.mac",
                                                             "-e", "gwcfg.checksum.status",
                                                             "-e", "gwcfg.block.crc.status",
                                                             "-e", "gwcfg.block.version",
                                                             "-e", "ip.dst",
                                                             "-e", "udp.dstport",
                                                             "-e", "ip.checksum.status",
                                                             "-e", "_ws.expert.message"}));
    ASSERT_GE(rows.size(), 2u);
    const std::string port = std::to_string(daemon_->port());
    const std::vector<std::string> request = {"discovery request", "",   "",  "", "",
                                              "127.0.0.1",         port, "1", ""};
    EXPECT_EQ(rows[0], request);
    std::vector<std::string> reply = rows[1];
    ASSERT_EQ(reply.size(), request.size());
    EXPECT_NE(reply[6], port) << "the reply goes to the tool's port";
    reply[6] = "";
    EXPECT_EQ(reply, (std::vector<std::string>{"discovery reply", daemon_->mac_text(), "good",
                                               "good", std::to_string(gwblock::kVersion),
                                               "127.0.0.1", "", "1", ""}));

    // Typed fields for filters: numbers, addresses and texts by their key.
    const auto keys =
        Rows(Tshark(capture, daemon_->port(),
                    {"-Y", "gwcfg.kind == \"discovery reply\"", "-T", "fields", "-e",
                     "gwcfg.SX1301_conf.radio_0.freq", "-e", "gwcfg.SX1301_conf.chan_multiSF_0.if",
                     "-e", "gwcfg.serverIP_conf.fixed_ip", "-e",
                     "gwcfg.gateway_conf.server_address", "-e", "gwcfg.device_info.mac"}));
    ASSERT_EQ(keys.size(), 1u);
    std::vector<std::string> want;
    for (const char *k :
         {"SX1301_conf.radio_0.freq", "SX1301_conf.chan_multiSF_0.if", "serverIP_conf.fixed_ip",
          "gateway_conf.server_address", "device_info.mac"})
        want.push_back(gwblock::get_value(expected, *gwblock::find_key(k)));
    EXPECT_EQ(keys[0], want);
}

// What the tool sends: the update of a set, the commands and the
// acknowledgement of ClrCfgBuf.
TEST_F(Dissector, DecodesTheUpdatesAndCommandsTheToolSends) {
    StartDaemon();
    const int port = daemon_->port();
    const std::string mac = daemon_->mac_text();
    const std::string set = work_.file("set.pcap");
    ASSERT_EQ(Tool({"set", mac, "gateway_conf.server_address=lns.example.net"}, port, set), 0)
        << daemon_->Log();
    const auto updates = Rows(Tshark(set, port,
                                     {"-Y", "gwcfg.kind == \"update\"", "-T", "fields", "-e",
                                      "gwcfg.mac", "-e", "gwcfg.gateway_conf.server_address", "-e",
                                      "gwcfg.block.crc.status", "-e", "_ws.expert.message"}));
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0], (std::vector<std::string>{mac, "lns.example.net", "good", ""}));

    const std::string clear = work_.file("clear.pcap");
    ASSERT_EQ(Tool({"clear", mac}, port, clear), 0);
    const auto rows =
        Rows(Tshark(clear, port,
                    {"-T", "fields", "-e", "gwcfg.kind", "-e", "gwcfg.mac", "-e", "gwcfg.command",
                     "-e", "gwcfg.ack_text", "-e", "_ws.expert.message"}));
    ASSERT_GE(rows.size(), 2u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"command", mac, gwproto::kCommandClear, "", ""}));
    EXPECT_EQ(rows.back(),
              (std::vector<std::string>{"acknowledgement", mac, "", gwproto::kAckText, ""}));

    const std::string reboot = work_.file("reboot.pcap");
    ASSERT_EQ(Tool({"reboot", mac}, port, reboot), 0);
    const auto r = Rows(Tshark(reboot, port,
                               {"-Y", "gwcfg.kind == \"command\"", "-T", "fields", "-e",
                                "gwcfg.command", "-e", "_ws.expert.message"}));
    ASSERT_GE(r.size(), 1u);
    EXPECT_EQ(r[0], (std::vector<std::string>{gwproto::kCommandReboot, ""}));
}

// A host that answers a discovery request with one broken datagram after
// another; gwcfg captures them all, the dissector flags each.
struct Broken {
    const char *name;
    std::vector<uint8_t> datagram;
    const char *kind;    // gwcfg.kind
    const char *expert;  // a part of the expert info
};

std::vector<Broken> BrokenDatagrams() {
    gwblock::BlockContents c{};
    gwblock::parse_mac("02:00:5e:10:00:99", c.eqp.mac);
    memcpy(c.gw.gateway_conf.server_address, "lns", 4);
    uint8_t block[gwblock::kBlockSize];
    gwblock::encode(c, block);
    std::vector<uint8_t> reply(SEARCH_FORMAT_LEN);
    gwblock::build_discovery_reply(reply.data(), c.eqp.mac, block);
    auto with_block = [&](void (*change)(uint8_t *)) {
        uint8_t b[gwblock::kBlockSize];
        memcpy(b, block, sizeof b);
        change(b);
        std::vector<uint8_t> out(SEARCH_FORMAT_LEN);
        gwblock::build_discovery_reply(out.data(), c.eqp.mac, b);  // a right checksum
        return out;
    };
    std::vector<Broken> cases;
    cases.push_back({"TruncatedReply", std::vector<uint8_t>(reply.begin(), reply.begin() + 1000),
                     "unknown", "1000 bytes: no datagram of the protocol has this length"});
    std::vector<uint8_t> wrong_sum = reply;
    wrong_sum[gwproto::kReplyChecksumOffset] ^= 0x5A;
    cases.push_back({"WrongChecksum", wrong_sum, "discovery reply", "Bad checksum"});
    std::vector<uint8_t> unknown(MESSAGE_COMMAND_LEN);
    gwblock::build_command(unknown.data(), c.eqp.mac, "Frobnicate", "");
    cases.push_back({"UnknownCommand", unknown, "command", "Unknown command \"Frobnicate\""});
    cases.push_back({"UnknownLayoutVersion", with_block([](uint8_t *b) {
                         b[5] = 9;  // version 9
                         const uint32_t crc = gwblock::crc32(b, gwblock::kCrcOffset);
                         for (int i = 0; i < 4; ++i)
                             b[gwblock::kCrcOffset + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
                     }),
                     "discovery reply", "Unknown block layout version 9"});
    cases.push_back({"BadBlockCrc", with_block([](uint8_t *b) {
                         b[500] ^= 1;
                     }),
                     "discovery reply", "Bad block CRC-32"});
    std::vector<uint8_t> unterminated = unknown;
    memset(unterminated.data() + gwproto::kCommandTextOffset, 'A', gwproto::kCommandTextField);
    cases.push_back({"CommandTextWithoutItsNul", unterminated, "command", "Text without its NUL"});
    // Longer than gwcfg's receive buffer: the capture keeps what was read
    // and the datagram's whole length.
    cases.push_back({"Oversized", std::vector<uint8_t>(3000, 0x56), "unknown",
                     "3000 bytes: no datagram of the protocol has this length"});
    return cases;
}

TEST_F(Dissector, FlagsEveryBrokenDatagramWithExpertInfo) {
    const std::vector<Broken> cases = BrokenDatagrams();
    gwdtest::Udp host;
    sockaddr_in me{};
    socklen_t len = sizeof me;
    ASSERT_EQ(getsockname(host.fd(), reinterpret_cast<sockaddr *>(&me), &len), 0);
    const int port = ntohs(me.sin_port);
    std::thread answer([&] {
        uint8_t buf[2048];
        sockaddr_in from{};
        socklen_t flen = sizeof from;
        pollfd p{host.fd(), POLLIN, 0};
        if (poll(&p, 1, 5000) != 1) return;
        if (recvfrom(host.fd(), buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &flen) !=
            SEARCH_COMMAND_LEN)
            return;
        for (const Broken &b : cases)
            sendto(host.fd(), b.datagram.data(), b.datagram.size(), 0,
                   reinterpret_cast<sockaddr *>(&from), sizeof from);
    });
    const std::string capture = work_.file("broken.pcap");
    Tool({"discover", "--retries", "0"}, port, capture);
    answer.join();

    const auto rows = Rows(Tshark(capture, port,
                                  {"-Y", "udp.srcport == " + std::to_string(port), "-T", "fields",
                                   "-e", "gwcfg.kind", "-e", "_ws.expert.message"}));
    ASSERT_EQ(rows.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        ASSERT_EQ(rows[i].size(), 2u);
        EXPECT_EQ(rows[i][0], cases[i].kind);
        EXPECT_NE(rows[i][1].find(cases[i].expert), std::string::npos) << rows[i][1];
    }
    // The whole tree too: no Lua error anywhere (Tshark checks).
    Tshark(capture, port, {"-V"});
}

TEST(Capture, RefusesAFileItCannotWriteBeforeSendingAnything) {
    gwdtest::Udp gateway;
    sockaddr_in me{};
    socklen_t len = sizeof me;
    ASSERT_EQ(getsockname(gateway.fd(), reinterpret_cast<sockaddr *>(&me), &len), 0);
    std::string out, err;
    const int status = gwtest::RunProgram({kTool, "discover", "--to",
                                           "127.0.0.1:" + std::to_string(ntohs(me.sin_port)),
                                           "--capture", "/nonexistent/dir/x.pcap"},
                                          &out, &err, 20000);
    EXPECT_EQ(status, 2);
    EXPECT_NE(err.find("--capture: cannot write /nonexistent/dir/x.pcap"), std::string::npos)
        << err;
    uint8_t buf[64];
    EXPECT_EQ(gateway.Recv(buf, sizeof buf, 100), -1) << "a request went out";
}

}  // namespace
