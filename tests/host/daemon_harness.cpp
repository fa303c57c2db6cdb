#include "daemon_harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <json/reader.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace gwdtest {

int FreePort() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

bool WaitFor(const std::function<bool()> &cond, int timeout_ms) {
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (cond()) return true;
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long elapsed = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (elapsed >= timeout_ms) return false;
        usleep(5000);
    }
}

size_t Count(const std::string &text, const std::string &needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

Udp::Udp(const std::string &bind_ip) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error("socket failed");
    int big = 4 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, bind_ip.c_str(), &a.sin_addr);
    if (bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        throw std::runtime_error("bind " + bind_ip + " failed");
}

Udp::~Udp() { close(fd_); }

bool Udp::Send(const std::string &ip, int port, const void *data, size_t len) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip.c_str(), &to.sin_addr);
    return sendto(fd_, data, len, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) ==
           static_cast<ssize_t>(len);
}

ssize_t Udp::Recv(void *buf, size_t size, int timeout_ms) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return -1;
    return recv(fd_, buf, size, 0);
}

bool Discover(int port, gwblock::BlockContents *out, int wait_ms, const std::string &ip) {
    Udp udp;
    uint8_t req[SEARCH_COMMAND_LEN];
    gwblock::build_discovery_request(req);
    uint8_t reply[2048];
    for (int waited = 0; waited < wait_ms; waited += 100) {
        udp.Send(ip, port, req, sizeof req);
        ssize_t n = udp.Recv(reply, sizeof reply, 100);
        if (n > 0) {
            uint8_t mac[6];
            std::string why;
            return gwblock::parse_discovery_reply(reply, static_cast<size_t>(n), mac, out, &why);
        }
    }
    return false;
}

void SendRawUpdate(int port, const uint8_t mac[6], const uint8_t *block, const std::string &ip) {
    uint8_t dgram[UPDATE_COMMAND_LEN];
    gwblock::build_update(dgram, mac, block);
    Udp udp;
    udp.Send(ip, port, dgram, sizeof dgram);
}

void SendUpdate(int port, const uint8_t mac[6], const gwblock::BlockContents &bc,
                const std::string &ip) {
    uint8_t block[gwblock::kBlockSize];
    gwblock::encode(bc, block);
    SendRawUpdate(port, mac, block, ip);
}

bool ReadStoredBlock(const std::string &dir, gwblock::BlockContents *out, std::string *error) {
    const std::string path = dir + "/gwcfgd.block";
    if (!gwtest::FileExists(path)) {
        *error = "no " + path;
        return false;
    }
    const std::string bytes = gwtest::ReadFile(path);
    if (bytes.size() != gwblock::kBlockSize) {
        *error = path + " holds " + std::to_string(bytes.size()) + " bytes";
        return false;
    }
    return gwblock::decode(reinterpret_cast<const uint8_t *>(bytes.data()), out, error);
}

bool ReadGlobalConf(const std::string &dir, Json::Value *out) {
    const std::string path = dir + "/global_conf.json";
    if (!gwtest::FileExists(path)) return false;
    const std::string text = gwtest::ReadFile(path);
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    std::string err;
    return r->parse(text.data(), text.data() + text.size(), out, &err) && out->isObject();
}

std::string DaemonPath() { return GWCFGD_PATH; }

void WriteFixtureSiteScripts(const std::string &dir) {
    gwtest::WriteFile(dir + "/ipaddr.sh",
                      "#!/bin/sh\necho 'addr:10.1.2.3 Bcast:10.1.255.255 Mask:255.255.0.0' > "
                      "./ipaddr_1\n",
                      0644);
    gwtest::WriteFile(dir + "/gateway.sh", "#!/bin/sh\necho 'default 10.1.0.1' > ./gateway_1\n",
                      0644);
    gwtest::WriteFile(
        dir + "/dns.sh",
        "#!/bin/sh\nprintf 'nameserver 10.1.0.2\\nnameserver 10.1.0.3\\n' > ./dns_1\n", 0644);
}

std::vector<std::string> ShippedProfiles(const std::string &region) {
    const std::string dir = GW_PROFILES_DIR;
    return {"--profile", dir + "/" + region + ".json", "--profile", dir + "/site-defaults.json"};
}

Daemon::Daemon(const std::string &state_dir, const std::vector<std::string> &extra,
               const std::vector<std::string> &env, const std::string &mac, int port,
               bool configured)
    : port_(port ? port : FreePort()), mac_text_(mac) {
    if (!gwblock::parse_mac(mac, mac_)) throw std::runtime_error("bad MAC " + mac);
    std::vector<std::string> argv = {DaemonPath(),          "--mac",       mac,      "--port",
                                     std::to_string(port_), "--state-dir", state_dir};
    argv.insert(argv.end(), extra.begin(), extra.end());
    if (configured && std::find(extra.begin(), extra.end(), "--profile") == extra.end()) {
        const std::vector<std::string> profiles = ShippedProfiles();
        argv.insert(argv.end(), profiles.begin(), profiles.end());
    }
    process_ = std::make_unique<gwtest::Process>(argv, env);
}

bool Daemon::WaitReady(int timeout_ms) {
    gwblock::BlockContents bc;
    return Discover(port_, &bc, timeout_ms);
}

bool Daemon::WaitLog(const std::string &needle, int timeout_ms, size_t count) {
    return WaitFor(
        [&] {
            return Count(Log(), needle) >= count;
        },
        timeout_ms);
}

int Daemon::Stop() {
    process_->Signal(SIGTERM);
    return process_->Wait(10000);
}

}  // namespace gwdtest
