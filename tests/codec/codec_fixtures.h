// Records for the codec and tool tests: a factory-like configuration and
// pseudo-random ones that hold only values a block may carry.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>

#include "config_block.h"

namespace codec_test {

inline void put_text(char *dst, size_t size, const char *text) {
    memset(dst, 0, size);
    memcpy(dst, text, std::min(strlen(text), size - 1));
}

// What a freshly installed EU868 gateway might hold.
inline gwblock::BlockContents SampleContents() {
    gwblock::BlockContents b{};
    EqpConfig &e = b.eqp;
    e.host_flag = 1;
    put_text(e.vendor, sizeof e.vendor, "Vorna123456789012345678");
    put_text(e.model, sizeof e.model, "Model_LoRa_GW12");
    put_text(e.server_name, sizeof e.server_name, "DeviceName12345");
    put_text(e.serial_no, sizeof e.serial_no, "SerialNo1234567");
    put_text(e.hw_id, sizeof e.hw_id, "HW_ID_123456789");
    e.networkmode = 1;
    const uint8_t mac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    memcpy(e.mac, mac, 6);
    e.ip = 0x0A000005;
    e.netmask = 0xFFFFFF00;
    e.gateway = 0x0A000001;
    e.pri_dns = 0x0A000001;
    e.sec_dns = 0x08080808;
    e.fixed_ip = 0xC0A80001;
    e.fixed_netmask = 0xFFFFFF00;
    e.fixed_gateway = 0xC0A800FE;

    GatewayConfig &g = b.gw;
    g.lorawan_public = true;
    g.clksrc = 1;
    g.radios[0].enable = true;
    g.radios[0].freq = 867500000;
    g.radios[0].rssi_offset = -166.0f;
    g.radios[0].tx_enable = true;
    put_text(g.radios[0].type, sizeof g.radios[0].type, "SX1257");
    g.radios[1].enable = true;
    g.radios[1].freq = 868500000;
    g.radios[1].rssi_offset = -166.0f;
    put_text(g.radios[1].type, sizeof g.radios[1].type, "SX1257");
    const int32_t ifs[8] = {-400000, -200000, 0, -400000, -200000, 0, 200000, 400000};
    for (int i = 0; i < 8; ++i) {
        g.chan_multiSF[i].enable = true;
        g.chan_multiSF[i].radio = i < 3 ? 1 : 0;
        g.chan_multiSF[i].if_freq = ifs[i];
    }
    g.chan_Lora_std = ChannelConfig{true, 1, -200000, 250000, 7, {0, 0, 0, 0}};
    g.chan_FSK = ChannelConfig{true, 1, 300000, 125000, 50000, {0, 0, 0, 0}};
    for (int i = 0; i < 16; ++i) {
        g.tx_lut[i].dig_gain = 0;
        g.tx_lut[i].pa_gain = static_cast<uint8_t>(i < 8 ? 1 : 2);
        g.tx_lut[i].mix_gain = static_cast<uint8_t>(8 + i % 8);
        g.tx_lut[i].rf_power = static_cast<int8_t>(-6 + 2 * i);
    }
    g.tx_lut_count = 16;
    ForwarderSettings &f = g.gateway_conf;
    put_text(f.gateway_ID, sizeof f.gateway_ID, "AA555A0000000000");
    put_text(f.server_address, sizeof f.server_address, "router.eu.example.net");
    f.serv_port_up = 1700;
    f.serv_port_down = 1700;
    f.keepalive_interval = 10;
    f.stat_interval = 30;
    f.push_timeout_ms = 100;
    f.forward_crc_valid = true;
    b.revision = 7;
    return b;
}

// Every field of the block filled with a valid value drawn from rng: full
// ranges of the integers, texts of any length that fits, finite floats.
inline gwblock::BlockContents RandomContents(uint32_t seed) {
    std::mt19937 rng(seed);
    gwblock::BlockContents b{};
    for (const gwblock::KeyInfo &key : gwblock::key_table()) {
        uint8_t *p = reinterpret_cast<uint8_t *>(&b) + key.member_offset;
        switch (key.kind) {
            case gwblock::ValueKind::Bool: {
                bool v = rng() & 1;
                memcpy(p, &v, 1);
                break;
            }
            case gwblock::ValueKind::U8:
            case gwblock::ValueKind::I8:
            case gwblock::ValueKind::I32:
            case gwblock::ValueKind::U32:
            case gwblock::ValueKind::Ipv4: {
                std::uniform_int_distribution<int64_t> d(key.min, key.max);
                int64_t v = d(rng);
                // Hit the range ends now and then.
                if (rng() % 8 == 0) v = (rng() & 1) ? key.min : key.max;
                if (key.size == 1) {
                    uint8_t byte = static_cast<uint8_t>(v);
                    memcpy(p, &byte, 1);
                } else {
                    uint32_t word = static_cast<uint32_t>(v);
                    memcpy(p, &word, 4);
                }
                break;
            }
            case gwblock::ValueKind::F32: {
                std::uniform_real_distribution<float> d(-300.0f, 300.0f);
                float f = d(rng);
                memcpy(p, &f, 4);
                break;
            }
            case gwblock::ValueKind::Text: {
                size_t len = rng() % key.size;  // 0 .. size-1
                memset(p, 0, key.size);
                for (size_t i = 0; i < len; ++i)
                    p[i] = static_cast<uint8_t>(0x20 + rng() % 95);
                break;
            }
            case gwblock::ValueKind::Mac:
                for (int i = 0; i < 6; ++i)
                    p[i] = static_cast<uint8_t>(rng());
                break;
        }
    }
    return b;
}

}  // namespace codec_test
