// text_forms.cpp - MAC addresses, dotted IPv4 addresses, decimal integers,
// floats and gateway EUIs as text.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "codec_internal.h"

namespace gwblock {

namespace detail {

std::string format_float(float f) {
    char buf[64];
    for (int prec = 1; prec <= 9; ++prec) {
        snprintf(buf, sizeof buf, "%.*g", prec, static_cast<double>(f));
        if (strtof(buf, nullptr) == f) break;
    }
    return buf;
}

}  // namespace detail

bool parse_mac(const std::string &text, uint8_t out[6]) {
    if (text.size() != 17) return false;
    const char sep = text[2];
    if (sep != ':' && sep != '-') return false;
    uint8_t mac[6];
    for (int i = 0; i < 6; ++i) {
        int v = 0;
        for (int j = 0; j < 2; ++j) {
            const char c = text[i * 3 + j];
            int d;
            if (c >= '0' && c <= '9')
                d = c - '0';
            else if (c >= 'a' && c <= 'f')
                d = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                d = c - 'A' + 10;
            else
                return false;
            v = v * 16 + d;
        }
        if (i < 5 && text[i * 3 + 2] != sep) return false;
        mac[i] = static_cast<uint8_t>(v);
    }
    memcpy(out, mac, 6);
    return true;
}

std::string format_mac(const uint8_t mac[6]) {
    char buf[18];
    snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
             mac[4], mac[5]);
    return buf;
}

bool parse_ipv4(const std::string &text, uint32_t *out) { return gwutil::parse_ipv4(text, out); }

std::string format_ipv4(uint32_t addr) {
    char buf[16];
    snprintf(buf, sizeof buf, "%u.%u.%u.%u", addr >> 24, (addr >> 16) & 0xFF, (addr >> 8) & 0xFF,
             addr & 0xFF);
    return buf;
}

std::string gateway_id_from_mac(const uint8_t mac[6]) {
    char buf[17];
    snprintf(buf, sizeof buf, "%02X%02X%02XFFFE%02X%02X%02X", mac[0], mac[1], mac[2], mac[3],
             mac[4], mac[5]);
    return buf;
}

}  // namespace gwblock
