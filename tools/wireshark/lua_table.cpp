// lua_table - writes the generated part of the Wireshark dissector
// (tools/wireshark/gwcfg.lua): the wire facts of the configuration protocol
// (agent.h, config_protocol.h) and every key of the configuration block from
// the codec's key table, so the dissector never disagrees with the codec.
//
//   lua_table              prints the generated part
//   lua_table --check FILE exit 0 when FILE holds it between its markers,
//                          1 (with what to do) when it differs
//   lua_table --write FILE rewrites the part between FILE's markers
//
// Exit 2 on a bad command line or a FILE without the marker lines.
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "config_block.h"
#include "config_protocol.h"

namespace {

const char kBegin[] =
    "-- generated from the key table (codec/key_table.cpp) by tools/wireshark/lua_table.cpp\n";
const char kEnd[] = "-- end of generated text\n";

// A Lua string literal.
std::string lua_string(const std::string &text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c > 0x7E) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\%03u", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// The kind as the dissector names it: the block's type without a size.
const char *kind_name(gwblock::ValueKind kind) {
    switch (kind) {
        case gwblock::ValueKind::Bool:
            return "bool";
        case gwblock::ValueKind::U8:
            return "u8";
        case gwblock::ValueKind::I8:
            return "i8";
        case gwblock::ValueKind::I32:
            return "i32";
        case gwblock::ValueKind::U32:
            return "u32";
        case gwblock::ValueKind::F32:
            return "f32";
        case gwblock::ValueKind::Ipv4:
            return "ipv4";
        case gwblock::ValueKind::Text:
            return "text";
        case gwblock::ValueKind::Mac:
            return "mac";
    }
    return "?";
}

std::string generated() {
    using namespace gwproto;
    std::ostringstream o;
    o << "local WIRE = {\n"
      << "  port = " << gwblock::kDefaultPort << ",\n"
      << "  search_len = " << SEARCH_COMMAND_LEN << ", command_len = " << MESSAGE_COMMAND_LEN
      << ", update_len = " << UPDATE_COMMAND_LEN << ",\n"
      << "  reply_len = " << SEARCH_FORMAT_LEN << ", ack_len = " << SERVER_ACK_MSG_LEN
      << ", recv_buf = " << RECV_BUF_SIZE << ",\n"
      << "  search_magic = " << lua_string(SEARCH_MAGIC) << ", marker = " << int{REPLY_MARKER}
      << ",\n"
      << "  mac_size = " << kMacSize << ",\n"
      << "  command_mac = " << kCommandMacOffset << ", command_text = " << kCommandTextOffset
      << ", command_text_field = " << kCommandTextField << ",\n"
      << "  argument = " << kArgumentOffset << ", argument_field = " << kArgumentField << ",\n"
      << "  service_ip = " << kServiceIpOffset << ", service_port = " << kServicePortOffset
      << ", service_type = " << kServiceTypeOffset << ",\n"
      << "  update_mac = " << kUpdateMacOffset << ", update_block = " << kUpdateBlockOffset << ",\n"
      << "  reply_mac = " << kReplyMacOffset << ", reply_block = " << kReplyBlockOffset
      << ", reply_checksum = " << kReplyChecksumOffset << ",\n"
      << "  ack_text_offset = " << kAckTextOffset << ", ack_text = " << lua_string(kAckText)
      << ",\n"
      << "  commands = { " << lua_string(kCommandReboot) << ", " << lua_string(kCommandTimeSync)
      << ", " << lua_string(kCommandClear) << ", " << lua_string(gwblock::kConfirmCommand)
      << " },\n"
      << "}\n\n";
    o << "local BLOCK = {\n"
      << "  size = " << gwblock::kBlockSize
      << ", magic = " << lua_string(std::string(reinterpret_cast<const char *>(gwblock::kMagic), 4))
      << ", version_offset = 4,\n"
      << "  oldest_version = " << gwblock::kOldestVersion << ", version = " << gwblock::kVersion
      << ", crc_offset = " << gwblock::kCrcOffset << ",\n"
      << "}\n\n";
    o << "-- Every key of the block, in block order: path, kind, offset and size in\n"
      << "-- the block, unit, the first layout version that carries it, the range\n"
      << "-- the codec accepts (integer kinds), and its meaning.\n"
      << "local KEYS = {\n";
    for (const gwblock::KeyInfo &k : gwblock::key_table()) {
        o << "  { path = " << lua_string(k.path) << ", kind = \"" << kind_name(k.kind)
          << "\", offset = " << k.block_offset << ", size = " << k.size
          << ", unit = " << lua_string(k.unit) << ", since = " << k.since_version;
        if (k.kind != gwblock::ValueKind::Text && k.kind != gwblock::ValueKind::Mac &&
            k.kind != gwblock::ValueKind::F32)
            o << ", min = " << k.min << ", max = " << k.max;
        o << ",\n    meaning = " << lua_string(k.meaning) << " },\n";
    }
    o << "}\n";
    return o.str();
}

bool read_file(const std::string &path, std::string *text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    *text = s.str();
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    const std::string table = generated();
    if (argc == 1) {
        std::cout << table;
        return 0;
    }
    const std::string mode = argv[1];
    if (argc != 3 || (mode != "--check" && mode != "--write")) {
        std::cerr << "usage: lua_table [--check FILE | --write FILE]\n";
        return 2;
    }
    const std::string path = argv[2];
    std::string text;
    if (!read_file(path, &text)) {
        std::cerr << "lua_table: cannot read " << path << "\n";
        return 2;
    }
    const size_t begin = text.find(kBegin);
    const size_t end = text.find(kEnd);
    if (begin == std::string::npos || end == std::string::npos || end < begin) {
        std::cerr << "lua_table: " << path << " lacks the marker lines around its generated part\n";
        return 2;
    }
    const size_t from = begin + sizeof kBegin - 1;
    if (text.compare(from, end - from, table) == 0) return 0;
    if (mode == "--check") {
        std::cerr << "lua_table: " << path
                  << " does not say what the key table says. Rewrite its generated part with\n"
                  << "  lua_table --write " << path << "\n"
                  << "(the build's tools/wireshark/lua_table), review the diff and commit it.\n";
        return 1;
    }
    std::ofstream(path, std::ios::binary) << text.substr(0, from) << table << text.substr(end);
    return 0;
}
