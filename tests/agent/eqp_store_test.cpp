// The equipment record and its factory defaults, through the library as a
// host daemon links it.
#include "agent.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "test_support.h"

// Referenced from eqp_store_link_check.c, a C translation unit: it links
// only if every export has a plain C symbol.
extern "C" int eqp_store_link_check(void);

namespace {

// Image of the record taken in main(), before any test ran.
unsigned char g_at_start[sizeof(EqpConfig)];

// The host function the record asks for the MAC address.
const uint8_t kMac[6] = {0x02, 0x1A, 0xFF, 0x00, 0x0B, 0xC0};
int g_mac_calls = 0;
bool g_mac_writes = true;

}  // namespace

extern "C" int NetMACAddressGet(uint8_t *mac) {
    ++g_mac_calls;
    if (g_mac_writes) memcpy(mac, kMac, sizeof kMac);
    return 0;
}

namespace {

const unsigned char kFill = 0x5A;
// The one padding byte of the record, between mac and ip.
const size_t kPadding = offsetof(EqpConfig, mac) + 6;

class EqpRecord : public ::testing::Test {
protected:
    void SetUp() override {
        memset(&g_eqpConfig, kFill, sizeof g_eqpConfig);
        g_mac_calls = 0;
        g_mac_writes = true;
    }
    static const unsigned char *bytes() {
        return reinterpret_cast<const unsigned char *>(&g_eqpConfig);
    }
};

// The record as the factory defaults leave it, starting from kFill: spare
// keeps its bytes, mac is what NetMACAddressGet wrote.
std::vector<unsigned char> DefaultImage(bool mac_written) {
    EqpConfig e;
    memset(&e, 0, sizeof e);
    e.host_flag = 1;
    memcpy(e.vendor, "Vorna123456789012345678", 24);
    memcpy(e.model, "Model_LoRa_GW12", 16);
    memcpy(e.server_name, "DeviceName12345", 16);
    memcpy(e.serial_no, "SerialNo1234567", 16);
    memcpy(e.hw_id, "HW_ID_123456789", 16);
    memset(e.spare, kFill, sizeof e.spare);
    e.networkmode = 1;
    if (mac_written)
        memcpy(e.mac, kMac, 6);
    else
        memset(e.mac, kFill, 6);
    e.fixed_ip = 0xC0A80001u;
    e.fixed_netmask = 0xFFFFFF00u;
    e.fixed_gateway = 0xC0A800FEu;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(&e);
    return std::vector<unsigned char>(p, p + sizeof e);
}

void ExpectBytes(const unsigned char *got, const std::vector<unsigned char> &want) {
    for (size_t i = 0; i < want.size(); ++i) {
        if (i == kPadding) continue;
        EXPECT_EQ(int(got[i]), int(want[i])) << "byte " << i;
    }
}

TEST(EqpRecordAtStart, AllZeroBeforeAnyInitialisation) {
    for (size_t i = 0; i < sizeof g_at_start; ++i)
        ASSERT_EQ(int(g_at_start[i]), 0) << "byte " << i;
}

TEST(EqpRecordAtStart, AccessorReturnsTheOneRecord) {
    EXPECT_EQ(saGetEqpConfigPtr(), &g_eqpConfig);
    EXPECT_EQ(saGetEqpConfigPtr(), saGetEqpConfigPtr());
}

TEST(EqpRecordAtStart, ExportsHavePlainCSymbols) { EXPECT_EQ(eqp_store_link_check(), 0); }

TEST_F(EqpRecord, FactoryDefaultsByteForByte) {
    gwtest::CaptureFd err(2);
    InitFactoryDefault();
    err.text();
    ExpectBytes(bytes(), DefaultImage(true));
    EXPECT_EQ(g_mac_calls, 1);
    // Each default text ends with its NUL in the last byte of its array.
    EXPECT_EQ(g_eqpConfig.vendor[23], '\0');
    EXPECT_EQ(std::string(g_eqpConfig.vendor), "Vorna123456789012345678");
    for (const char *t :
         {g_eqpConfig.model, g_eqpConfig.server_name, g_eqpConfig.serial_no, g_eqpConfig.hw_id}) {
        EXPECT_EQ(t[15], '\0');
        EXPECT_EQ(strlen(t), 15u);
    }
}

TEST_F(EqpRecord, MacIsNotClearedBeforeTheHostWritesIt) {
    g_mac_writes = false;
    gwtest::CaptureFd err(2);
    InitFactoryDefault();
    err.text();
    ExpectBytes(bytes(), DefaultImage(false));
    EXPECT_EQ(g_mac_calls, 1);
}

TEST_F(EqpRecord, FactoryDefaultLogLines) {
    gwtest::CaptureFd err(2);
    InitFactoryDefault();
    EXPECT_EQ(err.text(), "\nInitFactoryDefault()\n\nInitHostConfig()\n\nInitNetworkConfig()\n\n");
}

TEST_F(EqpRecord, DefaultsRestoreChangesButKeepSpare) {
    gwtest::CaptureFd err(2);
    InitFactoryDefault();
    memcpy(g_eqpConfig.spare, "\x01\x02\x03", 3);
    memcpy(g_eqpConfig.server_name, "Renamed", 8);
    g_eqpConfig.networkmode = 7;
    g_eqpConfig.fixed_ip = 0x0A000001u;
    g_eqpConfig.ip = 0x0A010203u;
    g_eqpConfig.sec_dns = 0x08080808u;
    InitFactoryDefault();
    err.text();
    EXPECT_EQ(std::string(g_eqpConfig.server_name), "DeviceName12345");
    EXPECT_EQ(memcmp(g_eqpConfig.spare, "\x01\x02\x03", 3), 0);
    EXPECT_EQ(g_eqpConfig.networkmode, 1);
    EXPECT_EQ(g_eqpConfig.fixed_ip, 0xC0A80001u);
    EXPECT_EQ(g_eqpConfig.ip, 0u);
    EXPECT_EQ(g_eqpConfig.sec_dns, 0u);
    EXPECT_EQ(g_mac_calls, 2);
}

// Each half of the defaults writes its own members and no other byte.
struct HalfCase {
    const char *name;
    void (*fn)(void);
    size_t first, end;  // the byte range it owns
    const char *log;
};

// Names the case in test listings.
void PrintTo(const HalfCase &c, std::ostream *os) { *os << c.name; }

class EqpRecordHalves : public EqpRecord, public ::testing::WithParamInterface<HalfCase> {};

TEST_P(EqpRecordHalves, WritesOnlyItsOwnMembers) {
    const HalfCase &c = GetParam();
    gwtest::CaptureFd err(2);
    c.fn();
    EXPECT_EQ(err.text(), c.log);
    std::vector<unsigned char> want = DefaultImage(true);
    for (size_t i = 0; i < want.size(); ++i)
        if (i < c.first || i >= c.end) want[i] = kFill;
    ExpectBytes(bytes(), want);
}

INSTANTIATE_TEST_SUITE_P(
    Defaults, EqpRecordHalves,
    ::testing::Values(HalfCase{"Identity", InitHostConfig, 0, offsetof(EqpConfig, spare),
                               "InitHostConfig()\n\n"},
                      HalfCase{"Network", InitNetworkConfig, offsetof(EqpConfig, networkmode),
                               sizeof(EqpConfig), "InitNetworkConfig()\n\n"}),
    [](const ::testing::TestParamInfo<HalfCase> &i) {
        return std::string(i.param.name);
    });

TEST(EqpRecordFixed, FixedSettingsFormatAsDottedText) {
    gwtest::CaptureFd err(2);
    InitFactoryDefault();
    err.text();
    const struct {
        uint32_t value;
        const char *text;
    } cases[] = {{g_eqpConfig.fixed_ip, "192.168.0.1"},
                 {g_eqpConfig.fixed_netmask, "255.255.255.0"},
                 {g_eqpConfig.fixed_gateway, "192.168.0.254"}};
    for (const auto &c : cases) {
        struct in_addr a;
        a.s_addr = htonl(c.value);
        EXPECT_STREQ(inet_ntoa(a), c.text);
    }
}

TEST(ReadStr, CopiesTextWithTerminatorAndNothingBeyond) {
    for (std::string src : {std::string(), std::string("abc"), std::string(23, 'v')}) {
        std::vector<char> dst(40, 0x7F);
        EXPECT_EQ(read_str(dst.data(), src.c_str()), dst.data()) << src;
        EXPECT_EQ(std::string(dst.data(), src.size()), src);
        EXPECT_EQ(dst[src.size()], '\0') << src;
        EXPECT_EQ(dst[src.size() + 1], 0x7F) << "wrote past the terminator of '" << src << "'";
    }
}

}  // namespace

int main(int argc, char **argv) {
    memcpy(g_at_start, &g_eqpConfig, sizeof g_at_start);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
