// The browser tests' bed: 20 gwcfgd in network namespaces (the fleet bed),
// `gwcfg web` serving them on 127.0.0.1:8480 of the bed's laptop namespace,
// a second `gwcfg web` showing a recorded fleet of 1,000 gateways, then the
// Playwright script (fleet_pages.test.mjs) run with node in that same
// namespace, driving Debian's chromium. Its exit status is the test's.
//
// Skips (77) without root, network namespaces, node, chromium or the npm
// packages of tests/web (npm ci); under CI a missing piece fails instead.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "fleet_bed.h"
#include "test_support.h"

namespace {

constexpr int kGateways = 20;
constexpr int kRecorded = 1000;
// Fifteen characters: what serverIP_conf.server_name holds at most.
const char kScriptName[] = "<script>x=1</b>";

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

int skip(const std::string &why) {
    if (getenv("CI")) {
        std::cerr << "browser test: " << why << " (CI is set: this is a failure)\n";
        return 1;
    }
    std::cerr << "browser test skipped: " << why << "\n";
    return 77;
}

// The recorded fleet: 1,000 gateways in all states, as /api/fleet gives.
std::string recorded_fleet() {
    std::string out = "[";
    const char *states[] = {"online", "online", "online", "offline", "never seen"};
    const char *changes[] = {"confirmed", "not watched", "rolled back", "watching", "failed"};
    for (int i = 0; i < kRecorded; ++i) {
        char mac[18], id[17];
        snprintf(mac, sizeof mac, "02:00:5e:%02x:%02x:%02x", (i >> 16) & 255, (i >> 8) & 255,
                 i & 255);
        snprintf(id, sizeof id, "02005EFFFE%06X", i);
        const std::string state = states[(i * 7) % 5];
        out += std::string(i ? "," : "") + "{\"mac\":\"" + mac + "\",\"gateway_ID\":\"" + id +
               "\",\"name\":\"site-" + std::to_string((i * 37) % 1000) + "\",\"region\":\"" +
               (i % 3 ? "eu868" : "us915") + "\",\"revision\":" + std::to_string(i % 17) +
               ",\"state\":\"" + state + "\"" +
               (state == "never seen"
                    ? std::string()
                    : ",\"last_seen\":" + std::to_string(1796900000000LL + i * 997LL)) +
               ",\"address\":\"10.9." + std::to_string(i / 250) + "." +
               std::to_string(i % 250 + 1) + "\",\"last_change\":{\"state\":\"" + changes[i % 5] +
               "\"},\"uptime_s\":" + std::to_string(i * 61) + "}";
    }
    return out + "]";
}

}  // namespace

int main() {
    const std::string script = std::string(GW_WEB_TESTS_DIR) + "/fleet_pages.test.mjs";
    if (geteuid() != 0) return skip("needs root for network namespaces");
    const std::string unavailable = gwfleet::FleetBed::Unavailable();
    if (!unavailable.empty()) return skip(unavailable);
    if (gwtest::RunProgram({"sh", "-c", "command -v node"}, nullptr, nullptr, 10000) != 0)
        return skip("node is not installed (apt-get install nodejs)");
    if (!exists("/usr/bin/chromium"))
        return skip("/usr/bin/chromium is missing (apt-get install chromium)");
    if (!exists(std::string(GW_WEB_TESTS_DIR) + "/node_modules/playwright-core"))
        return skip("playwright-core is missing: run npm ci in tests/web");

    gwtest::TempDir dir;
    gwfleet::FleetBed bed(kGateways);
    const std::string built = bed.Build();
    if (!built.empty()) {
        std::cerr << "browser test: cannot build the fleet bed: " << built << "\n";
        return 1;
    }
    bed.StartDaemons();
    if (!bed.AllServing(30000)) {
        std::cerr << "browser test: the daemons did not all start\n";
        return 1;
    }
    // A device name that holds markup: the pages must show it as text.
    std::string out, err;
    if (bed.Tool({"set", gwfleet::FleetBed::MacOf(3),
                  std::string("serverIP_conf.server_name=") + kScriptName, "--no-wait"},
                 &out, &err) != 0) {
        std::cerr << "browser test: cannot name gateway 3: " << err << "\n";
        return 1;
    }
    // The servers and the browser meet on the laptop's own loopback.
    if (gwtest::RunProgram({"ip", "-n", bed.Laptop(), "link", "set", "lo", "up"}, nullptr, &err,
                           10000) != 0) {
        std::cerr << "browser test: cannot bring up lo in " << bed.Laptop() << ": " << err << "\n";
        return 1;
    }
    gwtest::WriteFile(dir.file("fleet.json"), recorded_fleet());
    const std::vector<std::string> in_laptop = {"ip", "netns", "exec", bed.Laptop()};
    std::vector<std::string> live = in_laptop, recorded = in_laptop;
    for (const char *a : {GWCFG_PATH, "web", "--listen", "127.0.0.1:8480", "--timeout", "600"})
        live.push_back(a);
    for (const std::string &a :
         std::vector<std::string>{GWCFG_PATH, "web", "--listen", "127.0.0.1:8481", "--fleet-file",
                                  dir.file("fleet.json")})
        recorded.push_back(a);
    const std::vector<std::string> env = {"GWCFG_WEB_ASSETS=" + std::string(GW_WEB_ASSETS_DIR),
                                          "GWCFG_PROFILES=" + std::string(GW_PROFILES_DIR)};
    gwtest::Process web(live, env), recorded_web(recorded, env);
    for (int waited = 0;; waited += 50) {
        const bool up = web.Stdout().find("serving") != std::string::npos &&
                        recorded_web.Stdout().find("serving") != std::string::npos;
        if (up) break;
        if (waited > 10000 || !web.Running() || !recorded_web.Running()) {
            std::cerr << "browser test: gwcfg web did not start:\n"
                      << web.Stdout() << web.Stderr() << recorded_web.Stdout()
                      << recorded_web.Stderr();
            return 1;
        }
        usleep(50 * 1000);
    }

    std::string macs, states, pids;
    for (int i = 0; i < kGateways; ++i) {
        macs += (i ? "," : "") + gwfleet::FleetBed::MacOf(i);
        states += (i ? "," : "") + bed.State(i);
        pids += (i ? "," : "") + std::to_string(bed.Pid(i));
    }
    std::vector<std::string> node = in_laptop;
    node.push_back("node");
    node.push_back(script);
    gwtest::Process test(node,
                         {"GW_WEB_URL=http://127.0.0.1:8480/",
                          "GW_WEB_RECORDED_URL=http://127.0.0.1:8481/", "GW_MACS=" + macs,
                          "GW_STATE_DIRS=" + states, "GW_DAEMON_PIDS=" + pids,
                          "GW_SCRIPT_NAME=" + std::string(kScriptName),
                          "GW_SCREENSHOTS=" + std::string(GW_WEB_SCREENSHOTS_DIR),
                          "GW_RECORDED_COUNT=" + std::to_string(kRecorded)},
                         GW_WEB_TESTS_DIR);
    const int status = test.Wait(170000);
    std::cout << test.Stdout();
    std::cerr << test.Stderr();
    if (status != 0) {
        std::cerr << "--- gwcfg web (live) ---\n" << web.Stdout() << web.Stderr();
        std::cerr << "--- gwcfg web (recorded) ---\n"
                  << recorded_web.Stdout() << recorded_web.Stderr();
    }
    return status < 0 ? 1 : status;
}
