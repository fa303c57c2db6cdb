#include "fleet_bed.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <set>
#include <stdexcept>

namespace gwfleet {

namespace {

const std::string kTool = GWCFG_PATH;
const std::string kDaemon = GWCFGD_PATH;
const std::string kSiteScripts = GW_SITE_SCRIPTS_DIR;
const std::string kProfiles = GW_PROFILES_DIR;

}  // namespace

FleetBed::FleetBed(int gateways) : prefix_("gwf" + std::to_string(getpid()) + "-") {
    if (gateways < 1 || gateways > 240)
        throw std::invalid_argument("a fleet bed holds 1 to 240 gateways");
    bridge_ = prefix_ + "br";
    laptop_ = prefix_ + "lap";
    for (int i = 0; i < gateways; ++i)
        gateways_.push_back(prefix_ + std::to_string(i));
    RemoveLeftovers();
}

FleetBed::~FleetBed() {
    daemons_.clear();  // SIGKILL and reap every daemon first
    std::string script;
    for (const std::string &ns : All())
        script += "ip netns del " + ns + " 2>/dev/null\n";
    gwtest::WriteFile(dir_.file("down.sh"), script);
    gwtest::RunProgram({"sh", dir_.file("down.sh")}, nullptr, nullptr, 120000);
}

std::string FleetBed::Unavailable() {
    if (geteuid() != 0) return "needs root to create network namespaces";
    std::string err;
    if (gwtest::RunProgram({"ip", "netns", "list"}, nullptr, &err, 10000) != 0)
        return "ip netns is not available: " + err;
    return "";
}

std::string FleetBed::MacOf(int i) {
    char buf[32];
    snprintf(buf, sizeof buf, "02:fa:00:00:%02x:%02x", (i + 1) >> 8, (i + 1) & 0xFF);
    return buf;
}

std::string FleetBed::AddressOf(int i) { return "10.250.0." + std::to_string(10 + i); }

std::string FleetBed::Build() {
    const int n = size();
    std::string batch;
    for (const std::string &ns : All())
        batch += "netns add " + ns + "\n";
    for (int i = 0; i < n; ++i)
        batch += "link add eth0 netns " + gateways_[i] + " address " + MacOf(i) +
                 " type veth peer name p" + std::to_string(i) + " netns " + bridge_ + "\n";
    batch += "link add eth0 netns " + laptop_ + " type veth peer name plap netns " + bridge_ + "\n";
    gwtest::WriteFile(dir_.file("up.batch"), batch);

    std::string br = "link add br0 type bridge\nlink set br0 up\n";
    for (int i = 0; i < n; ++i)
        br += "link set p" + std::to_string(i) + " master br0 up\n";
    br += "link set plap master br0 up\n";
    gwtest::WriteFile(dir_.file("bridge.batch"), br);

    std::string sh = "set -e\nip -batch " + dir_.file("up.batch") + "\nip -n " + bridge_ +
                     " -batch " + dir_.file("bridge.batch") + "\n";
    for (int i = 0; i < n; ++i) {
        std::string ns = "address add " + AddressOf(i) +
                         "/24 dev eth0\nlink set eth0 up\nlink set lo up\n";
        gwtest::WriteFile(dir_.file("ns" + std::to_string(i) + ".batch"), ns);
        sh += "ip -n " + gateways_[i] + " -batch " +
              dir_.file("ns" + std::to_string(i) + ".batch") + "\n";
    }
    sh += "ip -n " + laptop_ + " addr add 10.250.0.2/24 dev eth0\n";
    sh += "ip -n " + laptop_ + " link set eth0 up\n";
    // The limited broadcast leaves through eth0.
    sh += "ip -n " + laptop_ + " route add default dev eth0\n";
    gwtest::WriteFile(dir_.file("up.sh"), sh);
    std::string out, err;
    if (gwtest::RunProgram({"sh", dir_.file("up.sh")}, &out, &err, 300000) != 0)
        return err.empty() ? "up.sh failed" : err;
    return "";
}

void FleetBed::StartDaemons() {
    for (int i = 0; i < size(); ++i) {
        states_.push_back(std::make_unique<gwtest::TempDir>());
        const std::string &dir = states_.back()->path();
        for (const char *s : {"ipaddr.sh", "gateway.sh", "dns.sh"})
            gwtest::WriteFile(dir + "/" + s, gwtest::ReadFile(kSiteScripts + "/" + s), 0755);
        daemons_.push_back(std::make_unique<gwtest::Process>(
            std::vector<std::string>{"ip", "netns", "exec", gateways_[i], kDaemon, "--bind",
                                     "0.0.0.0", "--iface", "eth0", "--state-dir", dir, "--profile",
                                     kProfiles + "/eu868.json", "--profile",
                                     kProfiles + "/site-defaults.json"}));
    }
}

bool FleetBed::AllServing(int timeout_ms) {
    for (int waited = 0;; waited += 20) {
        bool all = true;
        for (auto &d : daemons_)
            all = all && d->Stderr().find("gwcfgd: serving") != std::string::npos;
        if (all) return true;
        if (waited >= timeout_ms) return false;
        usleep(20 * 1000);
    }
}

void FleetBed::StopDaemon(int i) {
    daemons_[i]->Signal(SIGKILL);
    daemons_[i]->Wait(10000);
}

int FleetBed::Tool(const std::vector<std::string> &args, std::string *out, std::string *err,
                   int timeout_ms) {
    std::vector<std::string> argv = {"ip", "netns", "exec", laptop_, kTool};
    argv.insert(argv.end(), args.begin(), args.end());
    return gwtest::RunProgram(argv, out, err, timeout_ms);
}

// Namespaces of an earlier run whose process is gone (killed before its
// clean-up could run).
void FleetBed::RemoveLeftovers() {
    std::string out;
    gwtest::RunProgram({"ip", "netns", "list"}, &out, nullptr, 10000);
    std::string script;
    for (const std::string &line : gwtest::SplitLines(out)) {
        const std::string name = line.substr(0, line.find(' '));
        if (name.rfind("gwf", 0) != 0) continue;
        const size_t dash = name.find('-');
        const std::string pid = name.substr(3, dash == std::string::npos ? 0 : dash - 3);
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
        if (kill(std::stoi(pid), 0) == 0 || errno != ESRCH) continue;
        script += "ip netns del " + name + " 2>/dev/null\n";
    }
    if (!script.empty()) {
        gwtest::WriteFile(dir_.file("leftovers.sh"), script);
        gwtest::RunProgram({"sh", dir_.file("leftovers.sh")}, nullptr, nullptr, 120000);
    }
}

std::vector<std::string> FleetBed::All() const {
    std::vector<std::string> v = {bridge_, laptop_};
    v.insert(v.end(), gateways_.begin(), gateways_.end());
    return v;
}

}  // namespace gwfleet
