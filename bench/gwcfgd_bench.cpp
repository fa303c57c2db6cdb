// gwcfgd_bench - what one datagram costs the reference host daemon.
//
//   BareEcho           the floor: a client sends 24 bytes, the server socket
//                      receives them with recvfrom and answers 1033 bytes
//                      with sendto, the client receives them
//   Handler            the same exchange with process_client_event serving
//                      the request (encode of the live records into the
//                      block, checksum, five log lines)
//   DaemonLoop         the same through the daemon's loop body serve_ready:
//                      the peek, the rate limits, the handler
//
// The log lines go through the daemon's own log buffering (buffer_logs,
// LogFlusher): they are formatted per datagram and written out in batches.
//   ClrCfgBuf          a command with its 32-byte acknowledgement
//   EmitGwconf         one rewrite of global_conf.json (with its fsyncs)
//
// All exchanges use the same pair of loopback sockets, one thread. After the
// run the ratios Handler/BareEcho and DaemonLoop/BareEcho are printed, and
// the heap allocations per handled datagram, counted by the malloc
// interposed below. Run with stderr to /dev/null (the handler logs every
// datagram):
//
//   build/default/bench/gwcfgd_bench --benchmark_repetitions=5 2>/dev/null
#include "agent.h"
#include "config_block.h"
#include "config_protocol.h"
#include "gwcfgd.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>
#include <json/reader.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

// ---------------------------------------------------------------------------
// Counting heap allocations: every allocation of the process goes through
// these (operator new included, which calls malloc).

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
void __libc_free(void *);
}

namespace {
std::atomic<unsigned long> g_allocations{0};
}

extern "C" {
void *malloc(size_t n) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
void *calloc(size_t n, size_t m) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, m);
}
void *realloc(void *p, size_t n) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}
void *memalign(size_t a, size_t n) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_memalign(a, n);
}
void *aligned_alloc(size_t a, size_t n) { return memalign(a, n); }
int posix_memalign(void **out, size_t a, size_t n) {
    void *p = memalign(a, n);
    if (!p) return ENOMEM;
    *out = p;
    return 0;
}
void free(void *p) { __libc_free(p); }
}

namespace {

// ---------------------------------------------------------------------------
// The sockets and the records

struct Pair {
    int client = -1, server = -1;
    sockaddr_in server_addr{}, client_addr{};
};

Pair &Sockets() {
    static Pair p = [] {
        Pair s;
        auto open_bound = [](sockaddr_in *addr, int flags) {
            int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | flags, 0);
            addr->sin_family = AF_INET;
            addr->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            bind(fd, reinterpret_cast<sockaddr *>(addr), sizeof *addr);
            socklen_t len = sizeof *addr;
            getsockname(fd, reinterpret_cast<sockaddr *>(addr), &len);
            return fd;
        };
        s.server = open_bound(&s.server_addr, SOCK_NONBLOCK);  // as the daemon's
        s.client = open_bound(&s.client_addr, 0);
        return s;
    }();
    return p;
}

void SetUpRecords() {
    static bool done = false;
    if (done) return;
    done = true;
    const uint8_t mac[6] = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x01};
    gwcfgd::set_mac(mac);
    InitFactoryDefault();
    std::ifstream in(std::string(GW_PROFILES_DIR) + "/eu868.json");
    std::stringstream text;
    text << in.rdbuf();
    Json::Value profile;
    std::istringstream is(text.str());
    Json::CharReaderBuilder b;
    std::string err;
    gwblock::BlockContents bc{};
    bc.eqp = g_eqpConfig;
    if (Json::parseFromStream(b, is, &profile, &err) &&
        gwblock::apply_json_profile(profile, &bc, &err))
        gwblock::apply_block(bc, &g_eqpConfig, &g_Gatewayconfig);
}

uint8_t g_request[SEARCH_COMMAND_LEN];
uint8_t g_reply[SEARCH_FORMAT_LEN];
uint8_t g_command[MESSAGE_COMMAND_LEN];

void ClientSend(const void *data, size_t len) {
    Pair &s = Sockets();
    sendto(s.client, data, len, 0, reinterpret_cast<const sockaddr *>(&s.server_addr),
           sizeof s.server_addr);
}

ssize_t ClientReceive() {
    uint8_t buf[2048];
    return recv(Sockets().client, buf, sizeof buf, 0);
}

// One exchange of each kind; each returns the reply length the client saw.
ssize_t BareEchoOnce() {
    Pair &s = Sockets();
    ClientSend(g_request, sizeof g_request);
    uint8_t buf[RECV_BUF_SIZE];
    sockaddr_in from;
    socklen_t fromlen = sizeof from;
    ssize_t n;
    do {  // the server socket is non-blocking, as in the daemon
        n = recvfrom(s.server, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &fromlen);
    } while (n < 0 && errno == EAGAIN);
    sendto(s.server, g_reply, sizeof g_reply, 0, reinterpret_cast<sockaddr *>(&from), fromlen);
    return ClientReceive();
}

// The daemon's log policy, as its main loop runs it after every batch.
gwcfgd::LogFlusher g_flusher;

ssize_t HandlerOnce() {
    ClientSend(g_request, sizeof g_request);
    process_client_event(Sockets().server);
    g_flusher.tick(gwcfgd::monotonic_ns());
    return ClientReceive();
}

gwcfgd::Admission &Limiter() {
    // The limits are in the path but never reached.
    static const gwcfgd::Limits kHigh = {
        {{1000000, 1000000}, {1000000, 1000000}, {1000000, 1000000}, {1000000, 1000000}}};
    static gwcfgd::Admission admission(kHigh);
    return admission;
}

ssize_t DaemonLoopOnce() {
    ClientSend(g_request, sizeof g_request);
    while (gwcfgd::serve_ready(Sockets().server, &Limiter(), 1) == 0) {
    }
    g_flusher.tick(gwcfgd::monotonic_ns());
    return ClientReceive();
}

ssize_t ClrCfgBufOnce() {
    ClientSend(g_command, sizeof g_command);
    while (gwcfgd::serve_ready(Sockets().server, &Limiter(), 1) == 0) {
    }
    g_flusher.tick(gwcfgd::monotonic_ns());
    return ClientReceive();
}

void Prepare() {
    SetUpRecords();
    gwblock::build_discovery_request(g_request);
    gwblock::build_discovery_reply(g_reply, g_eqpConfig.mac,
                                   search_format + gwproto::kReplyBlockOffset);
    gwblock::build_command(g_command, g_eqpConfig.mac, gwproto::kCommandClear, "");
}

template <ssize_t (*Once)(), ssize_t kReply>
void Exchange(benchmark::State &state) {
    Prepare();
    for (int i = 0; i < 100; ++i)
        Once();  // warm the caches and the lazily built tables
    const unsigned long before = g_allocations.load();
    for (auto _ : state) {
        if (Once() != kReply) {
            state.SkipWithError("no reply");
            break;
        }
    }
    state.counters["allocs_per_datagram"] = static_cast<double>(g_allocations.load() - before) /
                                            static_cast<double>(state.iterations());
}

void BM_BareEcho(benchmark::State &s) { Exchange<BareEchoOnce, SEARCH_FORMAT_LEN>(s); }
void BM_Handler(benchmark::State &s) { Exchange<HandlerOnce, SEARCH_FORMAT_LEN>(s); }
void BM_DaemonLoop(benchmark::State &s) { Exchange<DaemonLoopOnce, SEARCH_FORMAT_LEN>(s); }
void BM_ClrCfgBuf(benchmark::State &s) { Exchange<ClrCfgBufOnce, SERVER_ACK_MSG_LEN>(s); }

// One global_conf.json in a scratch directory; its two console lines go to
// /dev/null.
void BM_EmitGwconf(benchmark::State &state) {
    Prepare();
    char dir[] = "/tmp/gwcfgd_bench.XXXXXX";
    if (!mkdtemp(dir)) {
        state.SkipWithError("mkdtemp");
        return;
    }
    char old[4096];
    if (!getcwd(old, sizeof old) || chdir(dir) != 0) {
        state.SkipWithError("chdir");
        return;
    }
    fflush(stdout);
    const int saved = dup(1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
    const unsigned long before = g_allocations.load();
    for (auto _ : state)
        emit_gwconf(saGetGatewayconfig(), saGetEqpConfigPtr());
    // The JSON tree is built on the heap: this shows that the count works.
    state.counters["allocs_per_call"] = static_cast<double>(g_allocations.load() - before) /
                                        static_cast<double>(state.iterations());
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    unlink("global_conf.json");
    if (chdir(old) != 0) perror("chdir");
    rmdir(dir);
}

BENCHMARK(BM_BareEcho);
BENCHMARK(BM_Handler);
BENCHMARK(BM_DaemonLoop);
BENCHMARK(BM_ClrCfgBuf);
BENCHMARK(BM_EmitGwconf)->Unit(benchmark::kMicrosecond);

// Keeps each run's time per iteration and allocation count for the summary.
class Summary : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> ns;
    std::map<std::string, double> allocs;

private:
    std::set<std::string> medians_;

public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &r : runs) {
            // With --benchmark_repetitions the median counts, else the run.
            const bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
            if (!median && (r.run_type != Run::RT_Iteration || r.iterations == 0)) continue;
            if (!median && medians_.count(r.run_name.function_name)) continue;
            if (median) medians_.insert(r.run_name.function_name);
            ns[r.run_name.function_name] = r.GetAdjustedRealTime() *
                                           (r.time_unit == benchmark::kMicrosecond ? 1000.0 : 1.0);
            auto it = r.counters.find("allocs_per_datagram");
            if (it != r.counters.end()) allocs[r.run_name.function_name] = it->second;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char **argv) {
    // As the daemon does; GWCFGD_BENCH_UNBUFFERED=1 shows what one write
    // per log line would cost instead.
    if (!getenv("GWCFGD_BENCH_UNBUFFERED")) gwcfgd::buffer_logs();
    benchmark::Initialize(&argc, argv);
    Summary summary;
    benchmark::RunSpecifiedBenchmarks(&summary);
    const double echo = summary.ns["BM_BareEcho"];
    if (echo > 0) {
        for (const char *name : {"BM_Handler", "BM_DaemonLoop"}) {
            if (summary.ns.count(name))
                printf("ratio %s / BM_BareEcho = %.2f (target <= 1.30)\n", name,
                       summary.ns[name] / echo);
        }
    }
    for (const char *name : {"BM_Handler", "BM_DaemonLoop", "BM_ClrCfgBuf"}) {
        if (summary.allocs.count(name))
            printf("heap allocations per datagram, %s: %.3f (target 0)\n", name,
                   summary.allocs[name]);
    }
    benchmark::Shutdown();
    return 0;
}
