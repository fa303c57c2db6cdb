// capture.h - gwcfg --capture FILE: every datagram the tool sends and
// receives, written as a classic pcap file (link type LINKTYPE_IPV4) with
// IPv4 and UDP headers made up from the real addresses and ports, so that a
// failing exchange can be opened in Wireshark (docs/wireshark.md). Private
// to the gwcfg target.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <ostream>
#include <string>

namespace gwcfg {

class Capture {
public:
    // Creates (or truncates) path and writes the file header. Null with
    // *error set ("cannot write capture.pcap: Permission denied") when it
    // cannot. A later write that fails is reported once on err, which must
    // outlive the capture.
    static std::shared_ptr<Capture> create(const std::string &path, std::ostream &err,
                                           std::string *error);
    ~Capture();
    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;

    // One datagram from src to dst: len bytes of it are at data, orig_len
    // is its length on the wire (more when it was cut).
    void write(const sockaddr_in &src, const sockaddr_in &dst, const void *data, size_t len,
               size_t orig_len);

    // A datagram sent to `to`, or received from `from`, on the UDP socket fd.
    // The local side is the socket's address, or, for a socket bound to any
    // address, the one the kernel would send to that peer from.
    void sent(int fd, const sockaddr_in &to, const void *data, size_t len);
    void received(int fd, const sockaddr_in &from, const void *data, size_t len, size_t orig_len);

private:
    Capture(FILE *file, const std::string &path, std::ostream &err)
        : file_(file), path_(path), err_(err) {}
    sockaddr_in local_for(int fd, const sockaddr_in &peer);

    FILE *file_;
    std::string path_;
    std::ostream &err_;
    bool failed_ = false;
    uint16_t ip_id_ = 0;
    std::map<uint32_t, uint32_t> source_for_;  // peer -> local address, network order
};

}  // namespace gwcfg
