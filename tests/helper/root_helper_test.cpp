// The root helper's checks and its dhcpcd.conf block, in process.
#include "root_helper.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

using gwhelper::Words;

struct RequestCase {
    const char *name;
    Words words;
    const char *refusal;  // nullptr: accepted
};

void PrintTo(const RequestCase &c, std::ostream *os) { *os << c.name; }

class CheckRequest : public ::testing::TestWithParam<RequestCase> {};

TEST_P(CheckRequest, TakesOnlyTheCommandsOfItsTable) {
    const RequestCase &c = GetParam();
    gwhelper::Request r;
    std::string why;
    const bool ok = gwhelper::check_request(c.words, &r, &why);
    if (!c.refusal) {
        EXPECT_TRUE(ok) << why;
        return;
    }
    EXPECT_FALSE(ok);
    EXPECT_NE(why.find(c.refusal), std::string::npos) << why;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckRequest,
    ::testing::Values(
        RequestCase{"DateIso", {"date", "-s", "2026-12-07 13:00:00"}, nullptr},
        RequestCase{"DateEpoch", {"date", "-s", "@1796634303"}, nullptr},
        RequestCase{"DateWithComma", {"date", "-s", "Dec 7, 2026 13:00 UTC"}, nullptr},
        RequestCase{"DateFileOption", {"date", "-f", "/etc/shadow"}, "exactly -s"},
        RequestCase{"DateExtraWord", {"date", "-s", "2026-12-07", "-f"}, "exactly -s"},
        RequestCase{"DateTextLikeAnOption", {"date", "-s", "-f/etc/shadow"}, "no time text"},
        RequestCase{"DateShellCharacters", {"date", "-s", "1;id"}, "no time text"},
        RequestCase{"DateNewline", {"date", "-s", "2026\nx"}, "no time text"},
        RequestCase{"DateTooLong", {"date", "-s", std::string(65, '1')}, "no time text"},
        RequestCase{"DatePath", {"/usr/bin/date", "-s", "2026-12-07"}, "not a command"},
        RequestCase{"FixedSet", {"fixed-ip", "set", "10.47.0.77/24", "10.47.0.1"}, nullptr},
        RequestCase{"FixedSetNoGateway", {"fixed-ip", "set", "10.47.0.77/32", "none"}, nullptr},
        RequestCase{"FixedClear", {"fixed-ip", "clear"}, nullptr},
        RequestCase{"NetworkRenew", {"network", "renew"}, nullptr},
        RequestCase{"NetworkShow", {"network", "show"}, nullptr},
        RequestCase{"NetworkOtherVerb", {"network", "up", "eth1"}, "network takes"},
        RequestCase{"NetworkAlone", {"network"}, "network takes"},
        RequestCase{"FixedClearExtra", {"fixed-ip", "clear", "x"}, "fixed-ip takes"},
        RequestCase{"FixedNoPrefix",
                    {"fixed-ip", "set", "10.47.0.77", "none"},
                    "not A.B.C.D/PREFIX"},
        RequestCase{"FixedPrefixZero", {"fixed-ip", "set", "10.47.0.77/0", "none"}, "not 1..32"},
        RequestCase{"FixedPrefix33", {"fixed-ip", "set", "10.47.0.77/33", "none"}, "not 1..32"},
        RequestCase{"FixedLeadingZero",
                    {"fixed-ip", "set", "10.47.0.077/24", "none"},
                    "not A.B.C.D"},
        RequestCase{"FixedOctet256", {"fixed-ip", "set", "10.47.0.256/24", "none"}, "not A.B.C.D"},
        RequestCase{"FixedInjectedLine",
                    {"fixed-ip", "set", "10.47.0.77/24", "10.47.0.1\nstatic x"},
                    "neither A.B.C.D nor none"},
        RequestCase{"FixedShell", {"fixed-ip", "set", "1.2.3.4/24", "1.2.3.1;id"}, "neither"},
        // gwcfgd's rules for fixed settings: the helper grants pi no more.
        RequestCase{"FixedNoAddress", {"fixed-ip", "set", "0.0.0.0/1", "none"}, "is no address"},
        RequestCase{"FixedNetwork",
                    {"fixed-ip", "set", "10.47.0.0/24", "none"},
                    "network or broadcast"},
        RequestCase{"FixedBroadcast",
                    {"fixed-ip", "set", "10.47.0.255/24", "none"},
                    "network or broadcast"},
        RequestCase{"FixedGatewayOutside",
                    {"fixed-ip", "set", "10.47.0.77/24", "10.48.0.1"},
                    "not another address in the subnet"},
        RequestCase{"FixedGatewayItself",
                    {"fixed-ip", "set", "10.47.0.77/24", "10.47.0.77"},
                    "not another address in the subnet"},
        RequestCase{"FixedPointToPoint", {"fixed-ip", "set", "10.47.0.0/31", "10.47.0.1"}, nullptr},
        RequestCase{"Shell", {"sh", "-c", "id"}, "not a command of the helper"},
        RequestCase{"Dhcpcd", {"dhcpcd", "-k", "eth0"}, "not a command of the helper"},
        RequestCase{"Empty", {}, "empty request"}),
    [](const ::testing::TestParamInfo<RequestCase> &i) {
        return std::string(i.param.name);
    });

TEST(RequestBytes, RoundTripAndRefuseWhatCannotBeAWordList) {
    std::string bytes, why;
    ASSERT_TRUE(gwhelper::encode_request({"date", "-s", "2026-12-07 13:00"}, &bytes, &why)) << why;
    const char want[] =
        "date\0-s\0"
        "2026-12-07 13:00\0";
    EXPECT_EQ(bytes, std::string(want, sizeof want - 1));
    Words back;
    ASSERT_TRUE(gwhelper::decode_request(bytes, &back, &why)) << why;
    EXPECT_EQ(back, (Words{"date", "-s", "2026-12-07 13:00"}));

    EXPECT_FALSE(gwhelper::encode_request({"date", ""}, &bytes, &why));
    EXPECT_FALSE(gwhelper::encode_request({std::string("da\0te", 5)}, &bytes, &why));
    EXPECT_FALSE(gwhelper::encode_request({std::string(gwhelper::kMaxRequest, 'x')}, &bytes, &why));
    EXPECT_FALSE(gwhelper::decode_request("date", &back, &why)) << "no final NUL";
    EXPECT_FALSE(gwhelper::decode_request(std::string("date\0\0", 6), &back, &why)) << "empty word";
    EXPECT_FALSE(gwhelper::decode_request("", &back, &why));
    EXPECT_FALSE(
        gwhelper::decode_request(std::string(gwhelper::kMaxRequest + 1, '\0'), &back, &why));
}

const char kBegin[] = "# BEGIN gwagent fixed address (managed by gwcfgd; edits here are lost)\n";
const char kEnd[] = "# END gwagent fixed address\n";

struct BlockCase {
    const char *name;
    std::string conf;
    bool set;  // false: clear
    std::string want;
};

void PrintTo(const BlockCase &c, std::ostream *os) { *os << c.name; }

class FixedBlock : public ::testing::TestWithParam<BlockCase> {};

TEST_P(FixedBlock, ReplacesOnlyItsOwnLines) {
    gwhelper::FixedAddress f;
    f.address = 0x0A2F004D;  // 10.47.0.77
    f.prefix = 24;
    f.gateway = 0x0A2F0001;
    EXPECT_EQ(gwhelper::with_fixed_block(GetParam().conf, GetParam().set ? &f : nullptr),
              GetParam().want);
}

const std::string kBlock = std::string(kBegin) +
                           "interface eth0\nstatic ip_address=10.47.0.77/24\n" +
                           "static routers=10.47.0.1\n" + kEnd;
const std::string kOldBlock = std::string(kBegin) +
                              "interface eth0\nstatic ip_address=192.168.0.1/24\n" + kEnd;

INSTANTIATE_TEST_SUITE_P(
    Cases, FixedBlock,
    ::testing::Values(
        BlockCase{"SetOnEmpty", "", true, kBlock},
        BlockCase{"SetAfterOtherLines", "hostname\nnodev\n", true, "hostname\nnodev\n" + kBlock},
        BlockCase{"SetAddsAMissingNewline", "nodev", true, "nodev\n" + kBlock},
        BlockCase{"SetReplacesTheOldBlockAndMovesItLast", "a\n" + kOldBlock + "b\n", true,
                  "a\nb\n" + kBlock},
        BlockCase{"ClearRemovesIt", "a\n" + kOldBlock + "b\n", false, "a\nb\n"},
        BlockCase{"ClearWithoutABlock", "a\nb\n", false, "a\nb\n"},
        BlockCase{"ForeignStaticLinesStay", "interface eth1\nstatic ip_address=10.9.9.9/24\n", true,
                  "interface eth1\nstatic ip_address=10.9.9.9/24\n" + kBlock}),
    [](const ::testing::TestParamInfo<BlockCase> &i) {
        return std::string(i.param.name);
    });

TEST(FixedBlockText, WithoutAGatewayHasNoRoutersLine) {
    gwhelper::FixedAddress f;
    f.address = 0x0A2F004D;
    f.prefix = 32;
    EXPECT_EQ(gwhelper::with_fixed_block("", &f),
              std::string(kBegin) + "interface eth0\nstatic ip_address=10.47.0.77/32\n" + kEnd);
}

// ---- the network stack ------------------------------------------------------

struct StackCase {
    const char *name;
    std::vector<const char *> present;  // paths made under the root
    const char *setting;                // the settings file's text; nullptr: none
    const char *want;                   // stack name; nullptr: refused
    const char *how;
};

void PrintTo(const StackCase &c, std::ostream *os) { *os << c.name; }

class FindStack : public ::testing::TestWithParam<StackCase> {};

TEST_P(FindStack, TakesTheSettingElseWhatRuns) {
    const StackCase &c = GetParam();
    gwtest::TempDir root;
    for (const char *p : c.present) {
        const std::string path = root.file(p);
        ASSERT_EQ(0,
                  system(
                      ("mkdir -p \"$(dirname '" + path + "')\" && touch '" + path + "'").c_str()));
    }
    if (c.setting) {
        ASSERT_EQ(0, system(("mkdir -p '" + root.file("etc/default") + "'").c_str()));
        gwtest::WriteFile(root.file("etc/default/gwcfgd"), c.setting);
    }
    gwhelper::NetworkStack stack;
    std::string how, why;
    const bool ok = gwhelper::find_stack(root.file(""), &stack, &how, &why);
    if (!c.want) {
        EXPECT_FALSE(ok);
        EXPECT_NE(why.find(c.how), std::string::npos) << why;
        return;
    }
    ASSERT_TRUE(ok) << why;
    EXPECT_STREQ(gwhelper::stack_name(stack), c.want);
    EXPECT_NE(how.find(c.how), std::string::npos) << how;
}

const char kOpts[] = "GWCFGD_OPTS=\"--profile x.json\"\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, FindStack,
    ::testing::Values(
        StackCase{"NothingRunsMeansDhcpcdForEth0", {}, nullptr, "dhcpcd-eth0", "assumed"},
        StackCase{"DhcpcdForEth0", {"run/dhcpcd/eth0.pid"}, nullptr, "dhcpcd-eth0", "eth0.pid"},
        StackCase{"StockDhcpcd", {"run/dhcpcd/pid"}, nullptr, "dhcpcd", "/run/dhcpcd/pid"},
        StackCase{"NetworkManager",
                  {"run/NetworkManager/devices"},
                  nullptr,
                  "networkmanager",
                  "/run/NetworkManager"},
        StackCase{"ARunningDhcpcdWinsOverNetworkManager",
                  {"run/NetworkManager/x", "run/dhcpcd/pid"},
                  nullptr,
                  "dhcpcd",
                  "/run/dhcpcd"},
        StackCase{"AutoLooks", {"run/dhcpcd/pid"}, "GW_NETWORK_STACK=auto\n", "dhcpcd", "found"},
        StackCase{"TheSettingWins",
                  {"run/dhcpcd/pid"},
                  "# comment\nGW_NETWORK_STACK=\"networkmanager\"\n",
                  "networkmanager",
                  "set by GW_NETWORK_STACK"},
        StackCase{"TheLastAssignmentCounts",
                  {},
                  "GW_NETWORK_STACK=dhcpcd\nGW_NETWORK_STACK=dhcpcd-eth0",
                  "dhcpcd-eth0",
                  "set by"},
        StackCase{"OtherSettingsAreNotTheStack",
                  {"run/NetworkManager"},
                  kOpts,
                  "networkmanager",
                  "found"},
        StackCase{"AnUnknownNameIsRefused",
                  {},
                  "GW_NETWORK_STACK=wicd\n",
                  nullptr,
                  "\"wicd\" names no network stack"}),
    [](const ::testing::TestParamInfo<StackCase> &i) {
        return std::string(i.param.name);
    });

}  // namespace
