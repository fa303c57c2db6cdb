// config_protocol.h - the wire facts of the UDP configuration protocol.
//
// Every program and test that builds or reads a configuration datagram takes
// its layout from here: the handler (agent/setup.cpp), the codec, gwcfg, the
// fake gateways and the tests. The lengths, the discovery magic and the
// reply marker are the ones agent.h gives the host; this header adds the
// offsets inside each datagram, the command and acknowledgement texts and the
// rule for a TimeSync date text. Internal to the project: not installed.
//
//   discovery request  24 bytes: the magic in bytes 0-14, the rest not read
//   discovery reply    1033 bytes: 'V', MAC, 0, block (8-1031), checksum
//   command datagram   80 bytes: MAC at 34, command text at 40 (12 bytes),
//                      argument text at 52 (20 bytes), service_ip at 72,
//                      service_port at 76, service_type at 78 (big-endian)
//   update datagram    1048 bytes: MAC at 16, block at 24
//   server_ack_msg     32 bytes: 'V', MAC, 0, "ReceiveConfig" and its NUL
//                      at 8, zero to the end
//
// Text fields hold ASCII ending in a NUL inside the field, so a field of N
// bytes carries at most N - 1 characters. Multi-byte numbers are big-endian.
#ifndef GWAGENT_CONFIG_PROTOCOL_H
#define GWAGENT_CONFIG_PROTOCOL_H

#include <cstddef>
#include <cstdint>

#include "agent.h"

namespace gwproto {

constexpr std::size_t kMacSize = 6;

// Command datagram (MESSAGE_COMMAND_LEN bytes).
constexpr std::size_t kCommandMacOffset = 34;
constexpr std::size_t kCommandTextOffset = 40;
constexpr std::size_t kCommandTextField = 12;
constexpr std::size_t kArgumentOffset = 52;
constexpr std::size_t kArgumentField = 20;
constexpr std::size_t kServiceIpOffset = 72;    // 32 bits
constexpr std::size_t kServicePortOffset = 76;  // 16 bits
constexpr std::size_t kServiceTypeOffset = 78;  // 16 bits
constexpr std::size_t kCommandTextMax = kCommandTextField - 1;
constexpr std::size_t kArgumentTextMax = kArgumentField - 1;

// The handler's discovery log line reads the service fields at this offset,
// past the end of the 24-byte request (they read as zero).
constexpr std::size_t kSearchServiceOffset = SEARCH_COMMAND_LEN;

// Update datagram (UPDATE_COMMAND_LEN bytes).
constexpr std::size_t kUpdateMacOffset = 16;
constexpr std::size_t kUpdateBlockOffset = 24;

// Replies: the discovery reply (SEARCH_FORMAT_LEN bytes) and server_ack_msg
// (SERVER_ACK_MSG_LEN bytes) open alike.
constexpr std::size_t kReplyMacOffset = 1;
constexpr std::size_t kReplyBlockOffset = 8;
constexpr std::size_t kReplyChecksumOffset = SEARCH_FORMAT_LEN - 1;
constexpr std::size_t kAckTextOffset = 8;
inline constexpr char kAckText[] = "ReceiveConfig";  // sent with its NUL: 14 bytes

// The command texts, compared whole and case-sensitive.
inline constexpr char kCommandReboot[] = "Reboot";
inline constexpr char kCommandTimeSync[] = "TimeSync";
inline constexpr char kCommandClear[] = "ClrCfgBuf";

static_assert(kCommandTextOffset == kCommandMacOffset + kMacSize, "command layout");
static_assert(kArgumentOffset == kCommandTextOffset + kCommandTextField, "command layout");
static_assert(kServiceIpOffset == kArgumentOffset + kArgumentField, "command layout");
static_assert(kServiceTypeOffset + 2 == MESSAGE_COMMAND_LEN, "command layout");
static_assert(kUpdateBlockOffset + UPDATE_PAYLOAD_SIZE == UPDATE_COMMAND_LEN, "update layout");
static_assert(kReplyBlockOffset + UPDATE_PAYLOAD_SIZE == kReplyChecksumOffset, "reply layout");
static_assert(kAckTextOffset + sizeof kAckText <= SERVER_ACK_MSG_LEN, "ack layout");
static_assert(sizeof SEARCH_MAGIC - 1 == SEARCH_MAGIC_LEN, "discovery magic");

// A character a TimeSync date text may hold: letters, digits, blank and
// : - + / . , @ ("@SECONDS" included). The argument is placed between double
// quotes on a shell command line; none of these can end that word.
constexpr bool is_date_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ' ||
           c == ':' || c == '-' || c == '+' || c == '/' || c == '.' || c == ',' || c == '@';
}

// True when every character of the NUL-terminated text is a date character
// (the empty text included: what a sender may put in the field is checked
// by the handler's date reading, not here).
constexpr bool is_date_text(const char *text) {
    for (; *text; ++text)
        if (!is_date_char(*text)) return false;
    return true;
}

}  // namespace gwproto

#endif  // GWAGENT_CONFIG_PROTOCOL_H
