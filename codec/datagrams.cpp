// datagrams.cpp - the datagrams that carry a block: discovery request and
// reply, command, update, and the acknowledgement of ClrCfgBuf. Layouts in
// config_protocol.h.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "codec_internal.h"
#include "config_protocol.h"

namespace gwblock {

using detail::get_be32;
using detail::printf_string;
using detail::put_be16;
using detail::put_be32;
using detail::set_error;
using namespace gwproto;

uint8_t reply_checksum(const uint8_t block[kBlockSize]) {
    uint8_t sum = 0;
    for (size_t i = 0; i < kBlockSize; ++i)
        sum = static_cast<uint8_t>(sum + block[i]);
    return sum;
}

void build_discovery_request(uint8_t out[SEARCH_COMMAND_LEN]) {
    memset(out, 0, SEARCH_COMMAND_LEN);
    memcpy(out, SEARCH_MAGIC, SEARCH_MAGIC_LEN);
}

bool build_command(uint8_t out[MESSAGE_COMMAND_LEN], const uint8_t mac[6], const char *command,
                   const char *argument, uint32_t service_ip, uint16_t service_port,
                   uint16_t service_type) {
    if (!argument) argument = "";
    size_t clen = strlen(command), alen = strlen(argument);
    if (clen > kCommandTextMax || alen > kArgumentTextMax) return false;
    memset(out, 0, MESSAGE_COMMAND_LEN);
    memcpy(out + kCommandMacOffset, mac, kMacSize);
    memcpy(out + kCommandTextOffset, command, clen);
    memcpy(out + kArgumentOffset, argument, alen);
    put_be32(out + kServiceIpOffset, service_ip);
    put_be16(out + kServicePortOffset, service_port);
    put_be16(out + kServiceTypeOffset, service_type);
    return true;
}

void build_confirm(uint8_t out[MESSAGE_COMMAND_LEN], const uint8_t mac[6], uint32_t revision) {
    char argument[16];
    snprintf(argument, sizeof argument, "%" PRIu32, revision);
    build_command(out, mac, kConfirmCommand, argument);  // both texts fit
}

bool parse_confirm(const uint8_t *data, size_t len, const uint8_t mac[6], uint32_t *revision) {
    if (len != MESSAGE_COMMAND_LEN || memcmp(data + kCommandMacOffset, mac, kMacSize) != 0 ||
        memcmp(data + kCommandTextOffset, kConfirmCommand, sizeof kConfirmCommand) != 0)
        return false;
    const char *arg = reinterpret_cast<const char *>(data + kArgumentOffset);
    const size_t n = strnlen(arg, kArgumentField);
    if (n == 0 || n > 10) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) {
        if (arg[i] < '0' || arg[i] > '9') return false;
        v = v * 10 + static_cast<uint64_t>(arg[i] - '0');
    }
    if (v > UINT32_MAX) return false;
    *revision = static_cast<uint32_t>(v);
    return true;
}

void build_update(uint8_t out[UPDATE_COMMAND_LEN], const uint8_t mac[6],
                  const uint8_t block[kBlockSize]) {
    memset(out, 0, UPDATE_COMMAND_LEN);
    memcpy(out + kUpdateMacOffset, mac, kMacSize);
    memcpy(out + kUpdateBlockOffset, block, kBlockSize);
}

void build_discovery_reply(uint8_t out[SEARCH_FORMAT_LEN], const uint8_t mac[6],
                           const uint8_t block[kBlockSize]) {
    out[0] = REPLY_MARKER;
    memcpy(out + kReplyMacOffset, mac, kMacSize);
    out[kReplyMacOffset + kMacSize] = 0;
    memcpy(out + kReplyBlockOffset, block, kBlockSize);
    out[kReplyChecksumOffset] = reply_checksum(block);
}

bool parse_discovery_frame(const uint8_t *data, size_t len, uint8_t mac[6],
                           uint8_t block[kBlockSize], std::string *error) {
    if (len != SEARCH_FORMAT_LEN) {
        set_error(error, printf_string("not a discovery reply: %zu bytes, expected %d", len,
                                       SEARCH_FORMAT_LEN));
        return false;
    }
    if (data[0] != REPLY_MARKER) {
        set_error(error,
                  printf_string("not a discovery reply: first byte 0x%02X, expected 'V'", data[0]));
        return false;
    }
    uint8_t sum = reply_checksum(data + kReplyBlockOffset);
    if (sum != data[kReplyChecksumOffset]) {
        set_error(error, printf_string("bad checksum (reply says 0x%02X, block sums to 0x%02X)",
                                       data[kReplyChecksumOffset], sum));
        return false;
    }
    if (mac) memcpy(mac, data + kReplyMacOffset, kMacSize);
    if (block) memcpy(block, data + kReplyBlockOffset, kBlockSize);
    return true;
}

bool parse_discovery_reply(const uint8_t *data, size_t len, uint8_t mac[6], BlockContents *out,
                           std::string *error) {
    uint8_t frame_mac[6];
    if (!parse_discovery_frame(data, len, frame_mac, nullptr, error)) return false;
    BlockContents tmp;
    std::string fault;
    if (!decode(data + kReplyBlockOffset, &tmp, &fault)) {
        set_error(error, "invalid configuration block: " + fault);
        return false;
    }
    if (memcmp(tmp.eqp.mac, frame_mac, kMacSize) != 0) {
        set_error(error, "the block's MAC address " + format_mac(tmp.eqp.mac) +
                             " differs from the reply's " + format_mac(frame_mac));
        return false;
    }
    if (mac) memcpy(mac, frame_mac, kMacSize);
    if (out) *out = tmp;
    return true;
}

bool parse_server_ack(const uint8_t *data, size_t len, const uint8_t mac[6], std::string *error) {
    if (len != SERVER_ACK_MSG_LEN) {
        set_error(error, printf_string("not an acknowledgement: %zu bytes, expected %d", len,
                                       SERVER_ACK_MSG_LEN));
        return false;
    }
    if (data[0] != REPLY_MARKER) {
        set_error(error, printf_string("not an acknowledgement: first byte 0x%02X, expected 'V'",
                                       data[0]));
        return false;
    }
    if (memcmp(data + kReplyMacOffset, mac, kMacSize) != 0) {
        set_error(error, "acknowledgement from another gateway (" +
                             format_mac(data + kReplyMacOffset) + ")");
        return false;
    }
    if (memcmp(data + kAckTextOffset, kAckText, sizeof kAckText) != 0) {
        set_error(error, "acknowledgement without \"ReceiveConfig\"");
        return false;
    }
    return true;
}

}  // namespace gwblock
