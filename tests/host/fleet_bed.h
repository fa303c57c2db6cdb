// A fleet test bed: N gwcfgd daemons, each in its own network namespace with
// an eth0 (a veth pair) plugged into one bridge that lives in a namespace of
// its own, and a "laptop" namespace on the same bridge that runs gwcfg. The
// host's network is never touched: every interface is created directly in a
// namespace the bed made, addresses come from 10.250.0.0/24, and every
// namespace is deleted when the bed goes away, whatever happens; namespaces
// an earlier, killed run left behind are removed first. The daemons run with
// a fake sudo first on their PATH. Needs root (the caller checks).
//
// Used by the fleet tests (tests/host/gwcfgd_fleet_test.cpp) and the fleet
// benchmark (bench/gwcfg_fleet_bench.cpp); no GoogleTest here.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "test_support.h"

namespace gwfleet {

class FleetBed {
public:
    // At most 240 gateways.
    explicit FleetBed(int gateways);
    ~FleetBed();
    FleetBed(const FleetBed &) = delete;
    FleetBed &operator=(const FleetBed &) = delete;

    // "" when root can make network namespaces here; otherwise why not.
    static std::string Unavailable();

    // Namespaces, bridge, veth pairs, addresses. Returns "" or what failed.
    std::string Build();
    // One daemon per gateway, serving on all of its addresses, its MAC
    // address read from its eth0, its state in its own directory with the
    // bundled site scripts, configured by the shipped EU868 plan and site
    // defaults.
    void StartDaemons();
    bool AllServing(int timeout_ms);
    // Kills daemon i (SIGKILL) and waits for it.
    void StopDaemon(int i);

    // gwcfg run from the laptop namespace.
    int Tool(const std::vector<std::string> &args, std::string *out, std::string *err,
             int timeout_ms = 60000);

    int size() const { return static_cast<int>(gateways_.size()); }
    static std::string MacOf(int i);
    static std::string AddressOf(int i);
    std::string State(int i) const { return states_[i]->path(); }
    std::string Log(int i) const { return daemons_[i]->Stderr(); }
    // The daemon's process id (for a test that stops it from elsewhere) and
    // the namespace gwcfg runs in.
    int Pid(int i) const { return daemons_[i]->pid(); }
    const std::string &Laptop() const { return laptop_; }

private:
    void RemoveLeftovers();
    std::vector<std::string> All() const;

    gwtest::TempDir dir_;
    gwtest::FakeSudo sudo_;
    std::string prefix_, bridge_, laptop_;
    std::vector<std::string> gateways_;
    std::vector<std::unique_ptr<gwtest::TempDir>> states_;
    std::vector<std::unique_ptr<gwtest::Process>> daemons_;
};

}  // namespace gwfleet
