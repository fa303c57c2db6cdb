// The network state probe against fixture site scripts in a scratch working
// directory. The fixtures are written without their execute bit, so only a
// probe that runs "chmod +x" first gets them to run. Each fixture appends
// its name to ./run.log and copies <output>.src to its output file (or
// removes the output file when there is no .src), and a chmod wrapper first
// on PATH logs "chmod <args>" there before running the real chmod: the log
// shows every command in the order the probe ran it.
#include "agent.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

const uint8_t kMac[6] = {0x02, 0x1A, 0xFF, 0x00, 0x0B, 0xC0};

}  // namespace

extern "C" int NetMACAddressGet(uint8_t *mac) {
    memcpy(mac, kMac, sizeof kMac);
    return 0;
}

namespace {

using namespace std::string_literals;
using gwtest::ReadFile;
using gwtest::SplitLines;
using gwtest::WriteFile;

std::string RealChmod() {
    for (const char *p : {"/bin/chmod", "/usr/bin/chmod"})
        if (access(p, X_OK) == 0) return p;
    return "chmod";
}

class Probe : public ::testing::Test {
protected:
    void SetUp() override {
        bin_ = std::make_unique<gwtest::TempDir>();
        work_ = std::make_unique<gwtest::TempDir>();
        log_ = work_->file("run.log");
        WriteFile(bin_->file("chmod"),
                  "#!/bin/sh\n"
                  "echo \"chmod $*\" >> '" +
                      log_ +
                      "'\n"
                      "exec " +
                      RealChmod() + " \"$@\"\n",
                  0755);
        for (const char *name : {"ipaddr", "gateway", "dns"}) {
            std::string out = std::string("./") + name + "_1";
            WriteFile(work_->file(std::string(name) + ".sh"),
                      "#!/bin/sh\n"
                      "echo " +
                          std::string(name) +
                          ".sh >> ./run.log\n"
                          "if [ -f " +
                          out + ".src ]; then cat " + out + ".src > " + out + "; else rm -f " +
                          out + "; fi\n",
                      0644);
        }
        const char *path = getenv("PATH");
        old_path_ = path ? path : "";
        setenv("PATH", (bin_->path() + ":" + old_path_).c_str(), 1);
        cwd_ = std::make_unique<gwtest::ScopedCwd>(work_->path());
        memset(&g_eqpConfig, 0, sizeof g_eqpConfig);
    }
    void TearDown() override {
        cwd_.reset();
        setenv("PATH", old_path_.c_str(), 1);
    }

    // What the fixture script copies to ./<name>_1 when it runs.
    void Output(const std::string &name, const std::string &text) {
        WriteFile(work_->file(name + "_1.src"), text);
    }
    std::vector<std::string> Commands() const { return SplitLines(ReadFile(log_)); }
    bool Executable(const std::string &script) const {
        struct stat st;
        return stat(work_->file(script).c_str(), &st) == 0 && (st.st_mode & S_IXUSR);
    }

    std::unique_ptr<gwtest::TempDir> bin_, work_;
    std::unique_ptr<gwtest::ScopedCwd> cwd_;
    std::string log_, old_path_;
};

// Pads text with spaces so that the next character lands at byte offset.
std::string PadTo(std::string text, size_t offset) {
    text.resize(offset, ' ');
    return text;
}

// ---- ./ipaddr_1: getipaddr, getmask ---------------------------------------

struct IpCase {
    const char *name;
    std::string text;
    bool present;  // false: the script leaves no file
    uint32_t ip, mask;
};

// Names the case in test listings.
void PrintTo(const IpCase &c, std::ostream *os) { *os << c.name; }

class ProbeIpaddr : public Probe, public ::testing::WithParamInterface<IpCase> {};

TEST_P(ProbeIpaddr, AddressAndNetmask) {
    const IpCase &c = GetParam();
    if (c.present) Output("ipaddr", c.text);
    uint32_t ip = 0xDEADBEEF, mask = 0xDEADBEEF;
    gwtest::CaptureFd err(2);
    getipaddr(&ip);
    getmask(&mask);
    EXPECT_EQ(err.text(), "") << "neither probe writes a debug line";
    EXPECT_EQ(ip, c.ip);
    EXPECT_EQ(mask, c.mask);
    EXPECT_EQ(Commands(),
              (std::vector<std::string>{"chmod +x ipaddr.sh", "ipaddr.sh", "ipaddr.sh"}));
}

const std::string kIfconfigLine = "addr:10.1.2.3 Bcast:10.1.255.255 Mask:255.255.0.0";

INSTANTIATE_TEST_SUITE_P(
    Formats, ProbeIpaddr,
    ::testing::Values(
        IpCase{"OneLineWithLineFeed", kIfconfigLine + "\n", true, 0x0A010203, 0xFFFF0000},
        IpCase{"OneLineWithoutLineFeed", kIfconfigLine, true, 0x0A010203, 0xFFFF0000},
        IpCase{"SpacedLabels",
               "inet addr:  192.168.1.20  Bcast:192.168.1.255  Mask:  255.255.255.0\n", true,
               0xC0A80114, 0xFFFFFF00},
        IpCase{"NullValues", "addr:(null) Bcast:(null) Mask:(null)\n", true, 0, 0},
        IpCase{"NullMaskOnly", "addr:10.1.2.3 Bcast:10.1.255.255 Mask:(null)\n", true, 0x0A010203,
               0},
        IpCase{"NotAddresses", "addr:eth0 Bcast:none Mask:none\n", true, 0, 0},
        IpCase{"AddressWithoutMask", "addr:10.1.2.3\n", true, 0x0A010203, 0},
        IpCase{"NoColonAtAll", "no address here\n", true, 0, 0},
        IpCase{"OnlyColons", ":::", true, 0, 0}, IpCase{"Empty", "", true, 0, 0},
        IpCase{"MissingFile", "", false, 0, 0},
        IpCase{"EndsAtNulByte", "addr:10.1.2.3 Bcast:10.1.255.255\0 Mask:255.255.0.0\n"s, true,
               0x0A010203, 0},
        // The mask starts at byte 244 and ends at byte 254: all of it is read.
        IpCase{"MaskEndsAtByte254",
               PadTo("addr:10.1.2.3 Bcast:10.1.255.255 Mask:", 244) + "255.255.0.0\n", true,
               0x0A010203, 0xFFFF0000},
        // The mask starts at byte 250: only "255.2" is seen.
        IpCase{"MaskCutAfterByte254",
               PadTo("addr:10.1.2.3 Bcast:10.1.255.255 Mask:", 250) + "255.255.0.0\n", true,
               0x0A010203, 0xFF000002}),
    [](const ::testing::TestParamInfo<IpCase> &i) {
        return std::string(i.param.name);
    });

// ---- ./gateway_1: getdefaultgateway ----------------------------------------

struct GwCase {
    const char *name;
    std::string text;
    bool present;
    uint32_t gw;
};

// Names the case in test listings.
void PrintTo(const GwCase &c, std::ostream *os) { *os << c.name; }

class ProbeGateway : public Probe, public ::testing::WithParamInterface<GwCase> {};

TEST_P(ProbeGateway, DefaultGateway) {
    const GwCase &c = GetParam();
    if (c.present) Output("gateway", c.text);
    uint32_t gw = 0xDEADBEEF;
    gwtest::CaptureFd err(2);
    getdefaultgateway(&gw);
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(gw, c.gw);
    EXPECT_EQ(Commands(), (std::vector<std::string>{"chmod +x gateway.sh", "gateway.sh"}));
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ProbeGateway,
    ::testing::Values(GwCase{"WordAndAddress", "default 10.1.0.1\n", true, 0x0A010001},
                      GwCase{"SeveralSpaces", "gw     10.1.0.1\n", true, 0x0A010001},
                      GwCase{"MoreWords", "default 10.1.0.1 dev eth0\n", true, 0x0A010001},
                      GwCase{"SingleWord", "default\n", true, 0},
                      GwCase{"SingleWordNoLineFeed", "default", true, 0},
                      GwCase{"Null", "default (null)\n", true, 0},
                      GwCase{"NotAnAddress", "default eth0\n", true, 0},
                      GwCase{"Empty", "", true, 0}, GwCase{"MissingFile", "", false, 0},
                      GwCase{"CutAfterByte254", PadTo("default", 250) + "10.1.0.1\n", true, 0}),
    [](const ::testing::TestParamInfo<GwCase> &i) {
        return std::string(i.param.name);
    });

// ---- ./dns_1: get_Primary_dns, get_Secondary_dns ---------------------------

struct DnsCase {
    const char *name;
    std::string text;
    bool present;
    uint32_t pri, sec;
    const char *log;
};

// Names the case in test listings.
void PrintTo(const DnsCase &c, std::ostream *os) { *os << c.name; }

class ProbeDns : public Probe, public ::testing::WithParamInterface<DnsCase> {};

TEST_P(ProbeDns, PrimaryAndSecondary) {
    const DnsCase &c = GetParam();
    if (c.present) Output("dns", c.text);
    uint32_t pri = 0xDEADBEEF, sec = 0xDEADBEEF;
    gwtest::CaptureFd err(2);
    get_Primary_dns(1, &pri);
    get_Secondary_dns(1, &sec);
    EXPECT_EQ(err.text(), c.log);
    EXPECT_EQ(pri, c.pri);
    EXPECT_EQ(sec, c.sec);
    EXPECT_EQ(Commands(),
              (std::vector<std::string>{"chmod +x dns.sh", "dns.sh", "chmod +x dns.sh", "dns.sh"}));
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ProbeDns,
    ::testing::Values(
        DnsCase{"TwoLines", "nameserver 10.1.0.2\nnameserver 10.1.0.3\n", true, 0x0A010002,
                0x0A010003, "pri_dns = 0x0A010002\n\nsec_dns = 0x0A010003\n\n"},
        DnsCase{"TwoLinesCrLf", "nameserver 10.1.0.2\r\nnameserver 10.1.0.3\r\n", true, 0x0A010002,
                0x0A010003, "pri_dns = 0x0A010002\n\nsec_dns = 0x0A010003\n\n"},
        DnsCase{"OneLineThreeWords", "nameserver 10.1.0.2 10.1.0.3\n", true, 0x0A010002, 0x0A010003,
                "pri_dns = 0x0A010002\n\nsec_dns = 0x0A010003\n\n"},
        DnsCase{"FirstLineOnly", "nameserver 10.1.0.2\n", true, 0x0A010002, 0,
                "pri_dns = 0x0A010002\n\n"},
        DnsCase{"NullPrimary", "nameserver (null)\n", true, 0, 0, "pri_dns = 0x00000000\n\n"},
        DnsCase{"NullPrimaryRealSecondary", "dns (null) 10.1.0.3\n", true, 0, 0x0A010003,
                "pri_dns = 0x00000000\n\nsec_dns = 0x0A010003\n\n"},
        // No null test for the secondary: the text does not convert, gives 0,
        // and the token exists, so its line is written.
        DnsCase{"NullSecondary", "dns 10.1.0.2 (null)\n", true, 0x0A010002, 0,
                "pri_dns = 0x0A010002\n\nsec_dns = 0x00000000\n\n"},
        DnsCase{"LabelOnly", "nameserver\n", true, 0, 0, "pri_dns = 0x00000000\n\n"},
        DnsCase{"Empty", "", true, 0, 0, "pri_dns = 0x00000000\n\n"},
        DnsCase{"MissingFile", "", false, 0, 0, "pri_dns = 0x00000000\n\n"}),
    [](const ::testing::TestParamInfo<DnsCase> &i) {
        return std::string(i.param.name);
    });

// ---- refresh and start-up ---------------------------------------------------

class ProbeRefresh : public Probe {
protected:
    void SetHealthy() {
        Output("ipaddr", kIfconfigLine + "\n");
        Output("gateway", "default 10.1.0.1\n");
        Output("dns", "nameserver 10.1.0.2\nnameserver 10.1.0.3\n");
    }
};

const char kRefreshLog[] =
    "pri_dns = 0x0A010002\n\n"
    "sec_dns = 0x0A010003\n\n"
    "MAC = 02:1A:FF:00:0B:C0\n\n"
    "IP=0A010203, MASK=FFFF0000, GW=0A010001, DNS1=0A010002, DNS2=0A010003\n\n";

const std::vector<std::string> kNineCommands = {"chmod +x ipaddr.sh",
                                                "ipaddr.sh",
                                                "ipaddr.sh",
                                                "chmod +x gateway.sh",
                                                "gateway.sh",
                                                "chmod +x dns.sh",
                                                "dns.sh",
                                                "chmod +x dns.sh",
                                                "dns.sh"};

TEST_F(ProbeRefresh, NineCommandsInOrderAndTwoClosingLines) {
    SetHealthy();
    memset(&g_eqpConfig, 0xA5, sizeof g_eqpConfig);
    memcpy(g_eqpConfig.mac, kMac, sizeof kMac);
    EqpConfig before = g_eqpConfig;
    gwtest::CaptureFd err(2);
    UpdateCurrentIP();
    EXPECT_EQ(err.text(), kRefreshLog);
    EXPECT_EQ(Commands(), kNineCommands);
    for (const char *s : {"ipaddr.sh", "gateway.sh", "dns.sh"})
        EXPECT_TRUE(Executable(s)) << s;

    EXPECT_EQ(g_eqpConfig.ip, 0x0A010203u);
    EXPECT_EQ(g_eqpConfig.netmask, 0xFFFF0000u);
    EXPECT_EQ(g_eqpConfig.gateway, 0x0A010001u);
    EXPECT_EQ(g_eqpConfig.pri_dns, 0x0A010002u);
    EXPECT_EQ(g_eqpConfig.sec_dns, 0x0A010003u);
    // Nothing else of the record changes.
    EqpConfig after = g_eqpConfig;
    after.ip = before.ip;
    after.netmask = before.netmask;
    after.gateway = before.gateway;
    after.pri_dns = before.pri_dns;
    after.sec_dns = before.sec_dns;
    EXPECT_EQ(memcmp(&after, &before, sizeof after), 0);
}

TEST_F(ProbeRefresh, NothingKnownGivesZeroEverywhere) {
    memset(&g_eqpConfig, 0xA5, sizeof g_eqpConfig);
    memset(g_eqpConfig.mac, 0, sizeof g_eqpConfig.mac);
    gwtest::CaptureFd err(2);
    UpdateCurrentIP();  // no script leaves a file
    EXPECT_EQ(err.text(),
              "pri_dns = 0x00000000\n\n"
              "MAC = 00:00:00:00:00:00\n\n"
              "IP=00000000, MASK=00000000, GW=00000000, DNS1=00000000, DNS2=00000000\n\n");
    EXPECT_EQ(Commands(), kNineCommands);
}

TEST_F(ProbeRefresh, StartUpLoadsDefaultsThenProbes) {
    SetHealthy();
    memset(&g_eqpConfig, 0, sizeof g_eqpConfig);
    gwtest::CaptureFd err(2);
    InitSystemConfig();
    EXPECT_EQ(err.text(), std::string("\nInitFactoryDefault()\n\nInitHostConfig()\n\n"
                                      "InitNetworkConfig()\n\n") +
                              kRefreshLog);
    EXPECT_EQ(Commands(), kNineCommands);
    EXPECT_EQ(std::string(g_eqpConfig.server_name), "DeviceName12345");
    EXPECT_EQ(g_eqpConfig.networkmode, 1);
    EXPECT_EQ(g_eqpConfig.fixed_gateway, 0xC0A800FEu);
    EXPECT_EQ(g_eqpConfig.ip, 0x0A010203u);
    EXPECT_EQ(g_eqpConfig.sec_dns, 0x0A010003u);
}

// A script that cannot run leaves the file of an earlier run, and that is
// what is read. getmask alone does not make ipaddr.sh executable.
TEST_F(ProbeRefresh, ScriptThatCannotRunLeavesTheOlderFile) {
    WriteFile(work_->file("ipaddr_1"), "addr:10.9.9.9 Bcast:10.9.255.255 Mask:255.255.0.0\n");
    Output("ipaddr", "addr:(null) Bcast:(null) Mask:(null)\n");
    uint32_t mask = 0;
    gwtest::CaptureFd err(2);
    getmask(&mask);
    err.text();  // the shell's complaint about the script
    EXPECT_EQ(mask, 0xFFFF0000u);
    EXPECT_TRUE(Commands().empty());
    EXPECT_FALSE(Executable("ipaddr.sh"));
}

// ---- getipaddress ------------------------------------------------------------

struct ReturnCase {
    const char *name;
    std::string text;
    bool present;
    uint32_t result;
    const char *out;
};

// Names the case in test listings.
void PrintTo(const ReturnCase &c, std::ostream *os) { *os << c.name; }

class ProbeIpaddress : public Probe, public ::testing::WithParamInterface<ReturnCase> {};

TEST_P(ProbeIpaddress, ReturnsAndPrints) {
    const ReturnCase &c = GetParam();
    if (c.present) Output("ipaddr", c.text);
    gwtest::CaptureFd err(2);
    gwtest::CaptureFd out(1);
    uint32_t got = getipaddress();
    EXPECT_EQ(out.text(), c.out);
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(got, c.result);
    EXPECT_EQ(Commands(), (std::vector<std::string>{"chmod +x ipaddr.sh", "ipaddr.sh"}));
}

INSTANTIATE_TEST_SUITE_P(
    Files, ProbeIpaddress,
    ::testing::Values(ReturnCase{"Normal", kIfconfigLine + "\n", true, 0x0A010203,
                                 "****p:10.1.2.3*****\n"},
                      ReturnCase{"Empty", "", true, 0, "****p:(null)*****\np=NULL\n"},
                      ReturnCase{"MissingFile", "", false, 0, "****p:(null)*****\np=NULL\n"},
                      ReturnCase{"NullAddress", "addr:(null) Bcast:(null) Mask:(null)\n", true, 0,
                                 "****p:(null)*****\n"},
                      ReturnCase{"NoSecondToken", "addr:", true, 0, "****p:(null)*****\n"}),
    [](const ::testing::TestParamInfo<ReturnCase> &i) {
        return std::string(i.param.name);
    });

}  // namespace
