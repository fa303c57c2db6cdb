// A fleet: 50 gwcfgd daemons, each in its own network namespace with an
// eth0 (a veth pair) plugged into one bridge that lives in a namespace of
// its own, and a "laptop" namespace on the same bridge running gwcfg. The
// host's network is never touched: every interface is created directly in
// a namespace this test made, addresses come from 10.250.0.0/24, and every
// namespace is deleted at the end, whatever happens.

#include "daemon_harness.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>
#include <json/reader.h>

#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

using gwtest::Process;
using gwtest::TempDir;

namespace {

constexpr int kGateways = 50;
const std::string kTool = GWCFG_PATH;
const std::string kSiteScripts = GW_SITE_SCRIPTS_DIR;

std::string MacOf(int i) {
    char buf[32];
    snprintf(buf, sizeof buf, "02:fa:00:00:00:%02x", i + 1);
    return buf;
}

std::string AddressOf(int i) { return "10.250.0." + std::to_string(10 + i); }

class Fleet {
public:
    Fleet() : prefix_("gwf" + std::to_string(getpid()) + "-") {
        bridge_ = prefix_ + "br";
        laptop_ = prefix_ + "lap";
        for (int i = 0; i < kGateways; ++i)
            gateways_.push_back(prefix_ + std::to_string(i));
        RemoveLeftovers();
    }

    ~Fleet() {
        daemons_.clear();  // SIGKILL and reap every daemon first
        std::string script;
        for (const std::string &ns : All())
            script += "ip netns del " + ns + " 2>/dev/null\n";
        gwtest::WriteFile(dir_.file("down.sh"), script);
        gwtest::RunProgram({"sh", dir_.file("down.sh")}, nullptr, nullptr, 60000);
    }

    // Namespaces, bridge, veth pairs, addresses. Returns "" or what failed.
    std::string Build() {
        std::string batch;
        for (const std::string &ns : All())
            batch += "netns add " + ns + "\n";
        for (int i = 0; i < kGateways; ++i)
            batch += "link add eth0 netns " + gateways_[i] + " address " + MacOf(i) +
                     " type veth peer name p" + std::to_string(i) + " netns " + bridge_ + "\n";
        batch += "link add eth0 netns " + laptop_ + " type veth peer name plap netns " + bridge_ +
                 "\n";
        gwtest::WriteFile(dir_.file("up.batch"), batch);

        std::string br = "link add br0 type bridge\nlink set br0 up\n";
        for (int i = 0; i < kGateways; ++i)
            br += "link set p" + std::to_string(i) + " master br0 up\n";
        br += "link set plap master br0 up\n";
        gwtest::WriteFile(dir_.file("bridge.batch"), br);

        std::string sh = "set -e\nip -batch " + dir_.file("up.batch") + "\nip -n " + bridge_ +
                         " -batch " + dir_.file("bridge.batch") + "\n";
        for (int i = 0; i < kGateways; ++i)
            sh += "ip -n " + gateways_[i] + " addr add " + AddressOf(i) +
                  "/24 dev eth0 && ip -n " + gateways_[i] + " link set eth0 up && ip -n " +
                  gateways_[i] + " link set lo up\n";
        sh += "ip -n " + laptop_ + " addr add 10.250.0.2/24 dev eth0\n";
        sh += "ip -n " + laptop_ + " link set eth0 up\n";
        // The limited broadcast leaves through eth0.
        sh += "ip -n " + laptop_ + " route add default dev eth0\n";
        gwtest::WriteFile(dir_.file("up.sh"), sh);
        std::string out, err;
        if (gwtest::RunProgram({"sh", dir_.file("up.sh")}, &out, &err, 60000) != 0)
            return err;
        return "";
    }

    // One daemon per gateway namespace, serving on all of its addresses,
    // its MAC address read from its eth0, its state in its own directory
    // with the bundled site scripts, configured by the shipped profiles.
    void StartDaemons() {
        for (int i = 0; i < kGateways; ++i) {
            states_.push_back(std::make_unique<TempDir>());
            const std::string &dir = states_.back()->path();
            for (const char *s : {"ipaddr.sh", "gateway.sh", "dns.sh"})
                gwtest::WriteFile(dir + "/" + s, gwtest::ReadFile(kSiteScripts + "/" + s), 0755);
            std::vector<std::string> argv = {"ip", "netns", "exec", gateways_[i],
                                             gwdtest::DaemonPath(), "--bind", "0.0.0.0",
                                             "--iface", "eth0", "--state-dir", dir};
            for (const std::string &a : gwdtest::ShippedProfiles())
                argv.push_back(a);
            daemons_.push_back(std::make_unique<Process>(argv));
        }
    }

    bool AllServing(int timeout_ms) {
        return gwdtest::WaitFor(
            [&] {
                for (auto &d : daemons_)
                    if (d->Stderr().find("gwcfgd: serving") == std::string::npos)
                        return false;
                return true;
            },
            timeout_ms);
    }

    // gwcfg run from the laptop namespace, to the default broadcast address.
    int Tool(const std::vector<std::string> &args, std::string *out, std::string *err) {
        std::vector<std::string> argv = {"ip", "netns", "exec", laptop_, kTool};
        argv.insert(argv.end(), args.begin(), args.end());
        return gwtest::RunProgram(argv, out, err, 30000);
    }

    std::string State(int i) const { return states_[i]->path(); }
    std::string Log(int i) const { return daemons_[i]->Stderr(); }

private:
    // Namespaces of an earlier run whose process is gone (killed before its
    // clean-up could run).
    void RemoveLeftovers() {
        std::string out;
        gwtest::RunProgram({"ip", "netns", "list"}, &out, nullptr, 10000);
        std::string script;
        std::set<std::string> seen;
        for (const std::string &line : gwtest::SplitLines(out)) {
            const std::string name = line.substr(0, line.find(' '));
            if (name.rfind("gwf", 0) != 0)
                continue;
            const size_t dash = name.find('-');
            const std::string pid = name.substr(3, dash == std::string::npos ? 0 : dash - 3);
            if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos)
                continue;
            if (kill(std::stoi(pid), 0) == 0 || errno != ESRCH)
                continue;
            script += "ip netns del " + name + " 2>/dev/null\n";
        }
        if (!script.empty()) {
            gwtest::WriteFile(dir_.file("leftovers.sh"), script);
            gwtest::RunProgram({"sh", dir_.file("leftovers.sh")}, nullptr, nullptr, 60000);
        }
    }

    std::vector<std::string> All() const {
        std::vector<std::string> v = {bridge_, laptop_};
        v.insert(v.end(), gateways_.begin(), gateways_.end());
        return v;
    }

    TempDir dir_;
    std::string prefix_, bridge_, laptop_;
    std::vector<std::string> gateways_;
    std::vector<std::unique_ptr<TempDir>> states_;
    std::vector<std::unique_ptr<Process>> daemons_;
};

Json::Value ParseJson(const std::string &text) {
    Json::Value v;
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    std::string err;
    if (!r->parse(text.data(), text.data() + text.size(), &v, &err))
        ADD_FAILURE() << "not JSON: " << err << "\n" << text;
    return v;
}

TEST(GwcfgdFleet, OneBroadcastFindsFiftyAndASetChangesOneGateway) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to create network namespaces";
    {
        std::string err;
        if (gwtest::RunProgram({"ip", "netns", "list"}, nullptr, &err, 10000) != 0)
            GTEST_SKIP() << "ip netns is not available: " << err;
    }
    Fleet fleet;
    const std::string failed = fleet.Build();
    ASSERT_EQ(failed, "") << "cannot build the fleet's network";
    fleet.StartDaemons();
    ASSERT_TRUE(fleet.AllServing(60000)) << "not every daemon started; first log:\n"
                                         << fleet.Log(0);

    std::string out, err;
    ASSERT_EQ(fleet.Tool({"discover", "--expect", std::to_string(kGateways), "--timeout", "3000",
                          "--json"},
                         &out, &err),
              0)
        << err;
    Json::Value list = ParseJson(out);
    ASSERT_EQ(list.size(), static_cast<unsigned>(kGateways)) << out << err;
    std::set<std::string> macs, addresses, ids;
    for (const Json::Value &g : list) {
        macs.insert(g["mac"].asString());
        addresses.insert(g["address"].asString());
        ids.insert(g["gateway_ID"].asString());
        EXPECT_FALSE(g["duplicate"].asBool());
        EXPECT_FALSE(g["duplicate_gateway_ID"].asBool());
        EXPECT_EQ(g["revision"].asUInt(), 0u);
    }
    EXPECT_EQ(macs.size(), static_cast<size_t>(kGateways));
    EXPECT_EQ(addresses.size(), static_cast<size_t>(kGateways));
    // No profile sets a gateway EUI: each gateway derives its own.
    EXPECT_EQ(ids.size(), static_cast<size_t>(kGateways));
    for (int i = 0; i < kGateways; ++i)
        EXPECT_EQ(macs.count(MacOf(i)), 1u) << MacOf(i);

    // Each daemon probed its own eth0 through the bundled site scripts.
    const int target = 17;
    ASSERT_EQ(fleet.Tool({"show", MacOf(target), "--json", "--timeout", "1500"}, &out, &err), 0)
        << err;
    EXPECT_EQ(ParseJson(out)["device_info"]["ip"].asString(), AddressOf(target));

    ASSERT_EQ(fleet.Tool({"set", MacOf(target), "gateway_conf.server_address=fleet-17.example.net",
                          "--timeout", "1500"},
                         &out, &err),
              0)
        << out << err;

    // Logs reach the file within the daemon's flush interval.
    EXPECT_TRUE(gwdtest::WaitFor(
        [&] { return fleet.Log(target).find("update applied") != std::string::npos; }, 3000));
    usleep(300 * 1000);
    for (int i = 0; i < kGateways; ++i) {
        Json::Value conf;
        ASSERT_TRUE(gwdtest::ReadGlobalConf(fleet.State(i), &conf)) << i;
        EXPECT_EQ(conf["gateway_conf"]["server_address"].asString(),
                  i == target ? "fleet-17.example.net" : "localhost")
            << "gateway " << i;
        EXPECT_EQ(gwdtest::Count(fleet.Log(i), "update applied"), i == target ? 1u : 0u) << i;
    }
    ASSERT_EQ(fleet.Tool({"discover", "--expect", std::to_string(kGateways), "--timeout", "3000",
                          "--json"},
                         &out, &err),
              0)
        << err;
    for (const Json::Value &g : ParseJson(out))
        EXPECT_EQ(g["revision"].asUInt(), g["mac"].asString() == MacOf(target) ? 1u : 0u)
            << g["mac"].asString();
}

}  // namespace
