// Helpers for the tests that run gwcfgd as a process: a daemon on loopback
// with its own state directory, and a small UDP client that speaks the
// configuration protocol through the block codec.
#pragma once

#include "config_block.h"
#include "test_support.h"

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace gwdtest {

// A UDP port on 127.0.0.1 that was free a moment ago.
int FreePort();

// Polls cond every few milliseconds until it holds or timeout_ms pass.
bool WaitFor(const std::function<bool()> &cond, int timeout_ms);

// Counts the occurrences of needle in text.
size_t Count(const std::string &text, const std::string &needle);

// An IPv4 UDP socket bound to bind_ip (port chosen by the kernel).
class Udp {
public:
    explicit Udp(const std::string &bind_ip = "127.0.0.1");
    ~Udp();
    Udp(const Udp &) = delete;
    Udp &operator=(const Udp &) = delete;
    int fd() const { return fd_; }
    bool Send(const std::string &ip, int port, const void *data, size_t len);
    // One datagram, or -1 when none arrives within timeout_ms.
    ssize_t Recv(void *buf, size_t size, int timeout_ms);

private:
    int fd_ = -1;
};

// Sends discovery requests to ip:port until a valid reply comes or wait_ms
// pass; fills *out (and mac when given).
bool Discover(int port, gwblock::BlockContents *out, int wait_ms = 5000,
              const std::string &ip = "127.0.0.1");

// One update datagram carrying bc, addressed to mac.
void SendUpdate(int port, const uint8_t mac[6], const gwblock::BlockContents &bc,
                const std::string &ip = "127.0.0.1");

// A raw 1024-byte block in an update datagram.
void SendRawUpdate(int port, const uint8_t mac[6], const uint8_t *block,
                   const std::string &ip = "127.0.0.1");

// The stored block of a state directory, decoded; false when it is missing
// or does not decode (*error says why).
bool ReadStoredBlock(const std::string &dir, gwblock::BlockContents *out, std::string *error);

// global_conf.json of a state directory, parsed; false when missing or
// not JSON.
bool ReadGlobalConf(const std::string &dir, Json::Value *out);

std::string DaemonPath();
// Site scripts that report a fixed address (10.1.2.3/16, gateway
// 10.1.0.1, DNS 10.1.0.2), written into dir.
void WriteFixtureSiteScripts(const std::string &dir);

// The shipped profiles (packaging/profiles/): a region plan and the site
// defaults, as --profile options.
std::vector<std::string> ShippedProfiles(const std::string &region = "eu868");

// gwcfgd on 127.0.0.1:<free port> with --state-dir dir and the given extra
// options. Unless extra names a --profile or `configured` is false, the
// daemon also gets ShippedProfiles(), so that it starts with a configuration
// the forwarder takes. The destructor kills it.
class Daemon {
public:
    Daemon(const std::string &state_dir, const std::vector<std::string> &extra = {},
           const std::vector<std::string> &env = {}, const std::string &mac = "02:00:5e:10:00:01",
           int port = 0, bool configured = true);
    int port() const { return port_; }
    const uint8_t *mac() const { return mac_; }
    const std::string &mac_text() const { return mac_text_; }
    gwtest::Process &process() { return *process_; }
    std::string Log() const { return process_->Stderr(); }
    // Waits until the daemon answers a discovery request.
    bool WaitReady(int timeout_ms = 10000);
    // Waits until needle occurs at least `count` times in the log.
    bool WaitLog(const std::string &needle, int timeout_ms = 5000, size_t count = 1);
    // Stops it with SIGTERM; its exit status.
    int Stop();

private:
    int port_;
    std::string mac_text_;
    uint8_t mac_[6];
    std::unique_ptr<gwtest::Process> process_;
};

}  // namespace gwdtest
