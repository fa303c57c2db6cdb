// The bundled site scripts ipaddr.sh, gateway.sh and dns.sh: their syntax,
// their parsing against a stand-in `ip` (the only command on PATH, so any
// other tool they tried to use would be missing), the probe reading what
// they write, and, as root, the real thing inside a network namespace that
// the test builds and removes.
#include "agent.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "test_support.h"

#ifndef GW_SITE_SCRIPTS_DIR
#error "GW_SITE_SCRIPTS_DIR must name scripts/site of the source tree"
#endif

extern "C" int NetMACAddressGet(uint8_t *mac) {
    static const uint8_t kMac[6] = {0x02, 0x00, 0x5E, 0x10, 0x20, 0x30};
    memcpy(mac, kMac, sizeof kMac);
    return 0;
}

namespace {

using gwtest::ReadFile;
using gwtest::TempDir;
using gwtest::WriteFile;

const std::string kScriptsDir = GW_SITE_SCRIPTS_DIR;
const char *const kScripts[] = {"ipaddr.sh", "gateway.sh", "dns.sh"};

// Path of an executable found on PATH (plus the sbin directories), or "".
std::string FindTool(const std::string &name) {
    const char *p = getenv("PATH");
    std::string path = std::string(p ? p : "") + ":/usr/sbin:/sbin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        std::string dir = path.substr(start, end - start);
        if (!dir.empty()) {
            std::string cand = dir + "/" + name;
            if (access(cand.c_str(), X_OK) == 0) return cand;
        }
        start = end + 1;
    }
    return "";
}

int Shell(const std::string &command) {
    int status = system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Copies the bundled scripts into dir without their execute bit.
void CopyScripts(const std::string &dir) {
    for (const char *s : kScripts)
        WriteFile(dir + "/" + s, ReadFile(kScriptsDir + "/" + s), 0644);
}

// ---- syntax and portability ------------------------------------------------

struct Checker {
    const char *name;
    const char *tool;
    const char *args;  // placed between the tool and the script path
};

// Names the case in test listings.
void PrintTo(const Checker &c, std::ostream *os) { *os << c.name; }

class SiteScriptSyntax : public ::testing::TestWithParam<Checker> {};

TEST_P(SiteScriptSyntax, EveryScriptPasses) {
    const Checker &c = GetParam();
    std::string tool = FindTool(c.tool);
    // CI installs every checker (scripts/install-deps.sh): there a missing
    // one is a failure, not a skip.
    if (tool.empty() && getenv("CI"))
        FAIL() << c.tool << " is not installed (scripts/install-deps.sh)";
    if (tool.empty()) GTEST_SKIP() << c.tool << " is not installed";
    for (const char *s : kScripts) {
        std::string cmd = tool + " " + c.args + " '" + kScriptsDir + "/" + s + "'";
        EXPECT_EQ(Shell(cmd), 0) << cmd;
    }
}

INSTANTIATE_TEST_SUITE_P(Checkers, SiteScriptSyntax,
                         ::testing::Values(Checker{"sh", "sh", "-n"}, Checker{"dash", "dash", "-n"},
                                           Checker{"shellcheck", "shellcheck", "-s sh"},
                                           Checker{"checkbashisms", "checkbashisms", ""}),
                         [](const ::testing::TestParamInfo<Checker> &i) {
                             return std::string(i.param.name);
                         });

// ---- parsing, against a stand-in ip ----------------------------------------

struct ParseCase {
    const char *name;
    const char *script;
    const char *iface;      // nullptr: IFACE not set
    std::string ip_output;  // what the stand-in ip prints
    int ip_status;
    const char *resolv;     // nullptr: no resolver file
    const char *want_file;  // ./ipaddr_1, ./gateway_1 or ./dns_1
    std::string want;
    const char *want_ip_args;  // nullptr: ip must not run
};

// Names the case in test listings.
void PrintTo(const ParseCase &c, std::ostream *os) { *os << c.name; }

class SiteScriptParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(SiteScriptParse, WritesTheProbeFormat) {
    const ParseCase &c = GetParam();
    std::vector<std::string> shells;
    for (const char *sh : {"sh", "dash", "bash"}) {
        std::string t = FindTool(sh);
        if (!t.empty()) shells.push_back(std::string(sh) == "bash" ? t + " --posix" : t);
    }
    ASSERT_FALSE(shells.empty());
    for (const std::string &shell : shells) {
        TempDir bin, work;
        std::string args_log = work.file("ip.args");
        WriteFile(bin.file("ip"),
                  "#!/bin/sh\n"
                  "printf '%s\\n' \"$*\" >> '" +
                      args_log +
                      "'\n"
                      "printf '%s' '" +
                      c.ip_output +
                      "'\n"
                      "exit " +
                      std::to_string(c.ip_status) + "\n",
                  0755);
        std::string env = "env -i PATH='" + bin.path() + "'";
        if (c.iface) env += std::string(" IFACE=") + c.iface;
        std::string resolv = work.file("resolv.conf");
        if (c.resolv) WriteFile(resolv, c.resolv);
        env += " RESOLV_CONF='" + resolv + "'";
        std::string cmd = "cd '" + work.path() + "' && " + env + " " + shell + " '" + kScriptsDir +
                          "/" + c.script + "'";
        EXPECT_EQ(Shell(cmd), 0) << shell;
        EXPECT_EQ(ReadFile(work.file(c.want_file)), c.want) << shell;
        EXPECT_EQ(ReadFile(args_log), c.want_ip_args ? std::string(c.want_ip_args) + "\n" : "")
            << shell;
    }
}

const char kAddrArgs[] = "-4 -o addr show dev eth0";
const char kRouteArgs[] = "-4 route show default";
const char kNullAddr[] = "addr:(null) Bcast:(null) Mask:(null)\n";

INSTANTIATE_TEST_SUITE_P(
    Outputs, SiteScriptParse,
    ::testing::Values(
        ParseCase{"AddrWithBroadcast", "ipaddr.sh", nullptr,
                  "2: eth0    inet 10.1.2.3/16 brd 10.1.255.255 scope global eth0\\       "
                  "valid_lft forever preferred_lft forever\n",
                  0, nullptr, "ipaddr_1", "addr:10.1.2.3 Bcast:10.1.255.255 Mask:255.255.0.0\n",
                  kAddrArgs},
        ParseCase{"AddrFirstOfTwoOnIface", "ipaddr.sh", "wlan0",
                  "3: wlan0    inet 192.168.7.20/24 brd 192.168.7.255 scope global wlan0\\ x\n"
                  "3: wlan0    inet 172.16.0.9/12 brd 172.31.255.255 scope global wlan0\\ x\n",
                  0, nullptr, "ipaddr_1",
                  "addr:192.168.7.20 Bcast:192.168.7.255 Mask:255.255.255.0\n",
                  "-4 -o addr show dev wlan0"},
        ParseCase{"AddrBroadcastComputed", "ipaddr.sh", nullptr,
                  "2: eth0    inet 10.1.2.3/20 scope global eth0\\ valid_lft forever\n", 0, nullptr,
                  "ipaddr_1", "addr:10.1.2.3 Bcast:10.1.15.255 Mask:255.255.240.0\n", kAddrArgs},
        ParseCase{"AddrHostRoute", "ipaddr.sh", nullptr,
                  "2: eth0    inet 10.9.8.7/32 scope global eth0\\ valid_lft forever\n", 0, nullptr,
                  "ipaddr_1", "addr:10.9.8.7 Bcast:10.9.8.7 Mask:255.255.255.255\n", kAddrArgs},
        ParseCase{"AddrNone", "ipaddr.sh", nullptr, "", 0, nullptr, "ipaddr_1", kNullAddr,
                  kAddrArgs},
        ParseCase{"AddrNoSuchInterface", "ipaddr.sh", nullptr, "", 1, nullptr, "ipaddr_1",
                  kNullAddr, kAddrArgs},
        ParseCase{"AddrNotAnAddress", "ipaddr.sh", nullptr,
                  "2: eth0    inet 300.1.2.3/16 brd 10.1.255.255 scope global eth0\n", 0, nullptr,
                  "ipaddr_1", kNullAddr, kAddrArgs},
        ParseCase{"RouteVia", "gateway.sh", nullptr,
                  "default via 10.1.0.1 dev eth0 proto dhcp src 10.1.2.3 metric 202\n", 0, nullptr,
                  "gateway_1", "default 10.1.0.1\n", kRouteArgs},
        ParseCase{"RouteFirstOfTwo", "gateway.sh", nullptr,
                  "default via 10.1.0.1 dev eth0 metric 100\n"
                  "default via 10.2.0.1 dev wlan0 metric 600\n",
                  0, nullptr, "gateway_1", "default 10.1.0.1\n", kRouteArgs},
        ParseCase{"RouteWithoutGateway", "gateway.sh", nullptr, "default dev ppp0 scope link\n", 0,
                  nullptr, "gateway_1", "default (null)\n", kRouteArgs},
        ParseCase{"RouteNone", "gateway.sh", nullptr, "", 0, nullptr, "gateway_1",
                  "default (null)\n", kRouteArgs},
        ParseCase{"DnsTwo", "dns.sh", nullptr, "", 0,
                  "# generated\nsearch example.org\nnameserver 10.1.0.2\nnameserver 10.1.0.3\n",
                  "dns_1", "nameserver 10.1.0.2 10.1.0.3\n", nullptr},
        ParseCase{"DnsFirstTwoOfThree", "dns.sh", nullptr, "", 0,
                  "nameserver 10.1.0.2\nnameserver 10.1.0.3\nnameserver 10.1.0.4\n", "dns_1",
                  "nameserver 10.1.0.2 10.1.0.3\n", nullptr},
        ParseCase{"DnsOne", "dns.sh", nullptr, "", 0, "nameserver\t10.1.0.2\n", "dns_1",
                  "nameserver 10.1.0.2\n", nullptr},
        ParseCase{"DnsSkipsIpv6", "dns.sh", nullptr, "", 0,
                  "nameserver fe80::1%eth0\nnameserver 10.1.0.3\n", "dns_1",
                  "nameserver 10.1.0.3\n", nullptr},
        ParseCase{"DnsLastLineUnterminated", "dns.sh", nullptr, "", 0,
                  "nameserver 10.1.0.2\nnameserver 10.1.0.3", "dns_1",
                  "nameserver 10.1.0.2 10.1.0.3\n", nullptr},
        ParseCase{"DnsNone", "dns.sh", nullptr, "", 0, "# no servers\n", "dns_1",
                  "nameserver (null)\n", nullptr},
        ParseCase{"DnsNoFile", "dns.sh", nullptr, "", 0, nullptr, "dns_1", "nameserver (null)\n",
                  nullptr}),
    [](const ::testing::TestParamInfo<ParseCase> &i) {
        return std::string(i.param.name);
    });

// ---- the probe reading what the bundled scripts write -----------------------

TEST(SiteScriptsWithProbe, RefreshStoresWhatTheScriptsFound) {
    TempDir bin, work;
    CopyScripts(work.path());
    WriteFile(
        bin.file("ip"),
        "#!/bin/sh\n"
        "case \"$*\" in\n"
        "*addr*) printf '%s\\n' '2: eth0    inet 10.1.2.3/16 brd 10.1.255.255 scope global eth0\\ x';;\n"
        "*route*) printf '%s\\n' 'default via 10.1.0.1 dev eth0';;\n"
        "esac\n",
        0755);
    WriteFile(work.file("resolv.conf"), "nameserver 10.1.0.2\nnameserver 10.1.0.3\n");
    const char *p = getenv("PATH");
    std::string old_path = p ? p : "";
    setenv("PATH", (bin.path() + ":" + old_path).c_str(), 1);
    setenv("RESOLV_CONF", work.file("resolv.conf").c_str(), 1);
    unsetenv("IFACE");
    memset(&g_eqpConfig, 0, sizeof g_eqpConfig);
    {
        gwtest::ScopedCwd cwd(work.path());
        gwtest::CaptureFd err(2);
        UpdateCurrentIP();
        err.text();
    }
    setenv("PATH", old_path.c_str(), 1);
    unsetenv("RESOLV_CONF");
    EXPECT_EQ(g_eqpConfig.ip, 0x0A010203u);
    EXPECT_EQ(g_eqpConfig.netmask, 0xFFFF0000u);
    EXPECT_EQ(g_eqpConfig.gateway, 0x0A010001u);
    EXPECT_EQ(g_eqpConfig.pri_dns, 0x0A010002u);
    EXPECT_EQ(g_eqpConfig.sec_dns, 0x0A010003u);
}

// ---- for real, in a network namespace ---------------------------------------

// A network namespace with its /etc/netns directory, both removed again
// when the object goes away, whatever happened in between.
class Netns {
public:
    Netns() {
        static int seq = 0;
        name_ = "gwst-" + std::to_string(getpid()) + "-" + std::to_string(++seq);
        etc_dir_ = "/etc/netns/" + name_;
    }
    ~Netns() {
        if (added_) Shell("ip netns delete " + name_ + " >/dev/null 2>&1");
        std::error_code ec;
        std::filesystem::remove_all(etc_dir_, ec);
        if (made_etc_netns_) std::filesystem::remove("/etc/netns", ec);  // only if empty
    }
    Netns(const Netns &) = delete;
    Netns &operator=(const Netns &) = delete;

    bool Add() {
        added_ = Shell("ip netns add " + name_ + " >/dev/null 2>&1") == 0;
        return added_;
    }
    // Runs a command inside the namespace; its exit status.
    int Exec(const std::string &command) const {
        return Shell("ip netns exec " + name_ + " " + command);
    }
    // An interface named iface: a dummy where the kernel has them, else one
    // end of a veth pair. Both ends are up.
    bool AddInterface(const std::string &iface) const {
        if (Exec("ip link add " + iface + " type dummy >/dev/null 2>&1") == 0)
            return Exec("ip link set " + iface + " up") == 0;
        return Exec("ip link add " + iface + " type veth peer name gwpeer0") == 0 &&
               Exec("ip link set gwpeer0 up") == 0 && Exec("ip link set " + iface + " up") == 0;
    }
    // The resolver file that `ip netns exec` binds over /etc/resolv.conf.
    void WriteResolvConf(const std::string &text) {
        std::error_code ec;
        if (!std::filesystem::exists("/etc/netns", ec)) made_etc_netns_ = true;
        std::filesystem::create_directories(etc_dir_, ec);
        WriteFile(etc_dir_ + "/resolv.conf", text);
    }
    const std::string &name() const { return name_; }

private:
    std::string name_, etc_dir_;
    bool added_ = false;
    bool made_etc_netns_ = false;
};

std::string SelfPath() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "";
    buf[n] = '\0';
    return buf;
}

struct NetnsCase {
    const char *name;
    const char *iface;  // nullptr: IFACE unset, the scripts use eth0
    bool configure;     // address 10.1.2.3/16 and default route via 10.1.0.1
    const char *resolv;
    const char *want;  // ip netmask gateway pri_dns sec_dns
};

// Names the case in test listings.
void PrintTo(const NetnsCase &c, std::ostream *os) { *os << c.name; }

class SiteScriptsInNetns : public ::testing::TestWithParam<NetnsCase> {};

TEST_P(SiteScriptsInNetns, RefreshStoresTheLiveValues) {
    const NetnsCase &c = GetParam();
    if (!GW_CAN_EXEC_TARGET)
        GTEST_SKIP() << "this machine cannot start the target's programs (cross build without "
                        "binfmt_misc): the executable is not re-run in the namespace";
    if (geteuid() != 0) GTEST_SKIP() << "needs root to create a network namespace";
    if (FindTool("ip").empty()) GTEST_SKIP() << "iproute2 (ip) is not installed";
    Netns ns;
    if (!ns.Add()) GTEST_SKIP() << "cannot create a network namespace here (ip netns add failed)";
    std::string iface = c.iface ? c.iface : "eth0";
    ASSERT_TRUE(ns.AddInterface(iface));
    if (c.configure) {
        ASSERT_EQ(ns.Exec("ip addr add 10.1.2.3/16 dev " + iface), 0);
        ASSERT_EQ(ns.Exec("ip route add default via 10.1.0.1 dev " + iface), 0);
    }
    ns.WriteResolvConf(c.resolv);

    TempDir work;
    CopyScripts(work.path());
    ns.Exec("cat /etc/resolv.conf > '" + work.file("seen.resolv") + "' 2>/dev/null");
    if (ReadFile(work.file("seen.resolv")) != c.resolv)
        GTEST_SKIP() << "ip netns exec does not bind /etc/netns/NAME/resolv.conf here";

    std::string env = c.iface ? std::string("IFACE=") + c.iface : std::string("-u IFACE");
    std::string cmd = "timeout 60 ip netns exec " + ns.name() + " env " + env +
                      " PATH=\"$PATH:/usr/sbin:/sbin\" '" + SelfPath() + "' --netns-child '" +
                      work.path() + "' >'" + work.file("child.out") + "' 2>'" +
                      work.file("child.err") + "'";
    ASSERT_EQ(Shell(cmd), 0) << ReadFile(work.file("child.err"));
    EXPECT_EQ(ReadFile(work.file("result")), std::string(c.want) + "\n")
        << ReadFile(work.file("child.err"));
}

INSTANTIATE_TEST_SUITE_P(
    Namespaces, SiteScriptsInNetns,
    ::testing::Values(NetnsCase{"Configured", "gwtest0", true,
                                "# test resolver\nnameserver 10.1.0.2\nnameserver 10.1.0.3\n",
                                "0A010203 FFFF0000 0A010001 0A010002 0A010003"},
                      NetnsCase{"NoAddressNoRoute", nullptr, false,
                                "search example.org\nnameserver fe80::1\n",
                                "00000000 00000000 00000000 00000000 00000000"}),
    [](const ::testing::TestParamInfo<NetnsCase> &i) {
        return std::string(i.param.name);
    });

// Inside the namespace: one refresh from dir, the five values into
// dir/result.
int NetnsChild(const char *dir) {
    if (chdir(dir) != 0) {
        perror("chdir");
        return 1;
    }
    memset(&g_eqpConfig, 0, sizeof g_eqpConfig);
    UpdateCurrentIP();
    FILE *f = fopen("result", "w");
    if (!f) return 1;
    fprintf(f, "%08X %08X %08X %08X %08X\n", g_eqpConfig.ip, g_eqpConfig.netmask,
            g_eqpConfig.gateway, g_eqpConfig.pri_dns, g_eqpConfig.sec_dns);
    return fclose(f) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 3 && strcmp(argv[1], "--netns-child") == 0) return NetnsChild(argv[2]);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
