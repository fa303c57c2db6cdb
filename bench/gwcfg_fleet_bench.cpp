// gwcfg_fleet_bench - a fleet change end to end, on the fleet test bed of
// network namespaces (tests/host/fleet_bed.h): 200 gwcfgd daemons on one
// bridge, gwcfg in a laptop namespace on the same bridge.
//
//   BM_FleetSet     gwcfg set --all --expect 200 gateway_conf.server_address=...
//                   every gateway found, changed (each stores the block,
//                   rewrites global_conf.json) and read back; wall time of
//                   the whole gwcfg run, default --timeout (1000 ms)
//   BM_OneGateway   gwcfg set MAC gateway_conf.server_address=... for one
//                   gateway of the same fleet: what a shell loop over the
//                   fleet pays per gateway
//
// Root only (network namespaces); prints why and exits 0 otherwise. Run:
//
//   sudo build/default/bench/gwcfg_fleet_bench --benchmark_repetitions=5
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "fleet_bed.h"

namespace {

constexpr int kGateways = 200;
gwfleet::FleetBed *g_bed = nullptr;
int g_round = 0;

double RunTool(benchmark::State &state, const std::vector<std::string> &args,
               const std::string &want) {
    std::string out, err;
    const auto start = std::chrono::steady_clock::now();
    const int status = g_bed->Tool(args, &out, &err);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (status != 0 || out.find(want) == std::string::npos)
        state.SkipWithError(("gwcfg failed: " + err.substr(0, 500)).c_str());
    return took.count();
}

void BM_FleetSet(benchmark::State &state) {
    for (auto _ : state) {
        const std::string server = "bench-" + std::to_string(++g_round) + ".example.net";
        state.SetIterationTime(RunTool(state,
                                       {"set", "--all", "--expect", std::to_string(kGateways),
                                        "gateway_conf.server_address=" + server},
                                       std::to_string(kGateways) + " of " +
                                           std::to_string(kGateways) + " gateways done."));
    }
    state.counters["gateways"] = kGateways;
}

void BM_OneGateway(benchmark::State &state) {
    for (auto _ : state) {
        const std::string server = "one-" + std::to_string(++g_round) + ".example.net";
        state.SetIterationTime(
            RunTool(state,
                    {"set", gwfleet::FleetBed::MacOf(7), "gateway_conf.server_address=" + server},
                    "stored as revision"));
    }
}

BENCHMARK(BM_FleetSet)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_OneGateway)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    const std::string why = gwfleet::FleetBed::Unavailable();
    if (!why.empty()) {
        std::printf("gwcfg_fleet_bench: skipped: %s\n", why.c_str());
        return 0;
    }
    auto bed = std::make_unique<gwfleet::FleetBed>(kGateways);
    const std::string failed = bed->Build();
    if (!failed.empty()) {
        std::fprintf(stderr, "gwcfg_fleet_bench: cannot build the fleet's network: %s\n",
                     failed.c_str());
        return 1;
    }
    bed->StartDaemons();
    if (!bed->AllServing(120000)) {
        std::fprintf(stderr, "gwcfg_fleet_bench: not every daemon started\n");
        return 1;
    }
    g_bed = bed.get();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_bed = nullptr;
    return 0;
}
