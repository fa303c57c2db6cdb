// text_forms.cpp - MAC addresses, dotted IPv4 addresses, decimal integers,
// frequencies, floats and gateway EUIs as text.
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

namespace {

int64_t unit_scale(const std::string &unit) {
    std::string u;
    for (char c : unit)
        u += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (u.empty() || u == "hz") return 1;
    if (u == "khz") return 1000;
    if (u == "mhz") return 1000000;
    if (u == "ghz") return 1000000000;
    return 0;
}

}  // namespace

bool parse_frequency(const std::string &text, int64_t *hz, std::string *why) {
    // [-]DIGITS[.DIGITS][ ]UNIT, counted in decimal digits: no float in
    // between, so 868.1MHz is 868100000 Hz exactly.
    size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) ++i;
    std::string whole, frac;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9')
        whole += text[i++];
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9')
            frac += text[i++];
    }
    if (whole.empty() && frac.empty()) {
        detail::set_error(why, "not a frequency");
        return false;
    }
    while (i < text.size() && text[i] == ' ')
        ++i;
    const std::string unit = text.substr(i);
    const int64_t scale = unit_scale(unit);
    if (scale == 0) {
        detail::set_error(why, "unknown unit \"" + unit + "\" (Hz, kHz or MHz)");
        return false;
    }
    while (!frac.empty() && frac.back() == '0')
        frac.pop_back();
    int decimals = 0;
    for (int64_t s = scale; s > 1; s /= 10)
        ++decimals;
    if (static_cast<int>(frac.size()) > decimals) {
        detail::set_error(why, unit.empty() ? "a fraction of a hertz: without a unit the value is "
                                              "in Hz; give one, for example 867.5MHz"
                                            : "a fraction of a hertz; frequencies are whole Hz");
        return false;
    }
    const size_t leading = whole.find_first_not_of('0');
    whole = leading == std::string::npos ? "" : whole.substr(leading);
    if (whole.size() > 12) {
        detail::set_error(why, "too large");
        return false;
    }
    int64_t v = 0;
    for (char c : whole)
        v = v * 10 + (c - '0');
    int64_t f = 0, rest = scale;
    for (char c : frac) {
        rest /= 10;
        f += (c - '0') * rest;
    }
    v = v * scale + f;
    *hz = negative ? -v : v;
    return true;
}

std::string format_frequency(int64_t hz) {
    const bool negative = hz < 0;
    const uint64_t v = static_cast<uint64_t>(negative ? -hz : hz);
    auto scaled = [&](uint64_t unit, const char *name) {
        std::string frac = std::to_string(unit + v % unit).substr(1);
        while (!frac.empty() && frac.back() == '0')
            frac.pop_back();
        return (negative ? "-" : "") + std::to_string(v / unit) + (frac.empty() ? "" : ".") + frac +
               " " + name;
    };
    if (v >= 1000000) return scaled(1000000, "MHz");
    if (v >= 1000) return scaled(1000, "kHz");
    return (negative ? "-" : "") + std::to_string(v) + " Hz";
}

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
