// capture.cpp - gwcfg --capture FILE: see capture.h.
#include "capture.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace gwcfg {

namespace {

constexpr uint32_t kPcapMagic = 0xA1B2C3D4;  // microsecond time stamps, written in host order
constexpr uint32_t kLinkTypeIpv4 = 228;      // LINKTYPE_IPV4: the packet starts at its IPv4 header
constexpr uint32_t kSnapLen = 65535;
constexpr size_t kHeaders = 20 + 8;  // IPv4 without options, UDP

void put16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

}  // namespace

std::shared_ptr<Capture> Capture::create(const std::string &path, std::ostream &err,
                                         std::string *error) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) {
        *error = "--capture: cannot write " + path + ": " + strerror(errno) +
                 "; name a file in a directory you can write to";
        return nullptr;
    }
    struct {
        uint32_t magic;
        uint16_t major, minor;
        int32_t zone;
        uint32_t sigfigs, snaplen, network;
    } header = {kPcapMagic, 2, 4, 0, 0, kSnapLen, kLinkTypeIpv4};
    if (fwrite(&header, sizeof header, 1, f) != 1 || fflush(f) != 0) {
        *error = "cannot write " + path + ": " + strerror(errno);
        fclose(f);
        return nullptr;
    }
    return std::shared_ptr<Capture>(new Capture(f, path, err));
}

Capture::~Capture() {
    if (fclose(file_) != 0 && !failed_)
        err_ << "gwcfg: the capture " << path_ << " is incomplete: " << strerror(errno) << "\n";
}

void Capture::write(const sockaddr_in &src, const sockaddr_in &dst, const void *data, size_t len,
                    size_t orig_len) {
    if (failed_) return;
    len = std::min(len, static_cast<size_t>(kSnapLen) - kHeaders);
    orig_len = std::max(orig_len, len);
    const size_t wire = std::min(orig_len + kHeaders, size_t{0xFFFF});
    uint8_t h[kHeaders] = {};
    h[0] = 0x45;  // version 4, 5 words of header
    put16(h + 2, static_cast<uint16_t>(wire));
    put16(h + 4, ++ip_id_);
    h[8] = 64;           // TTL
    h[9] = IPPROTO_UDP;  // 17
    memcpy(h + 12, &src.sin_addr.s_addr, 4);
    memcpy(h + 16, &dst.sin_addr.s_addr, 4);
    uint32_t sum = 0;
    for (size_t i = 0; i < 20; i += 2)
        sum += static_cast<uint32_t>(h[i] << 8 | h[i + 1]);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    put16(h + 10, static_cast<uint16_t>(~sum));
    memcpy(h + 20, &src.sin_port, 2);
    memcpy(h + 22, &dst.sin_port, 2);
    put16(h + 24, static_cast<uint16_t>(wire - 20));
    // UDP checksum 0: none computed, which IPv4 allows.
    timeval now{};
    gettimeofday(&now, nullptr);
    const uint32_t record[4] = {static_cast<uint32_t>(now.tv_sec),
                                static_cast<uint32_t>(now.tv_usec),
                                static_cast<uint32_t>(len + kHeaders),
                                static_cast<uint32_t>(orig_len + kHeaders)};
    if (fwrite(record, sizeof record, 1, file_) != 1 || fwrite(h, sizeof h, 1, file_) != 1 ||
        (len && fwrite(data, len, 1, file_) != 1) || fflush(file_) != 0) {
        failed_ = true;
        err_ << "gwcfg: the capture " << path_ << " is incomplete: " << strerror(errno) << "\n";
    }
}

sockaddr_in Capture::local_for(int fd, const sockaddr_in &peer) {
    sockaddr_in local{};
    socklen_t alen = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &alen) != 0) local = sockaddr_in{};
    local.sin_family = AF_INET;
    if (local.sin_addr.s_addr != htonl(INADDR_ANY)) return local;
    auto it = source_for_.find(peer.sin_addr.s_addr);
    if (it == source_for_.end()) {
        // Where the kernel would send from: a connected UDP socket knows,
        // and connecting one sends nothing.
        uint32_t addr = htonl(INADDR_ANY);
        const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (probe >= 0) {
            int one = 1;
            setsockopt(probe, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
            sockaddr_in to = peer;
            if (to.sin_port == 0) to.sin_port = htons(9);
            sockaddr_in mine{};
            socklen_t mlen = sizeof mine;
            if (connect(probe, reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0 &&
                getsockname(probe, reinterpret_cast<sockaddr *>(&mine), &mlen) == 0)
                addr = mine.sin_addr.s_addr;
            close(probe);
        }
        it = source_for_.emplace(peer.sin_addr.s_addr, addr).first;
    }
    local.sin_addr.s_addr = it->second;
    return local;
}

void Capture::sent(int fd, const sockaddr_in &to, const void *data, size_t len) {
    write(local_for(fd, to), to, data, len, len);
}

void Capture::received(int fd, const sockaddr_in &from, const void *data, size_t len,
                       size_t orig_len) {
    write(from, local_for(fd, from), data, len, orig_len);
}

}  // namespace gwcfg
