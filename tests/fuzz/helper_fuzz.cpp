// Fuzz harness: the root helper's request checking, the part of a root
// process that reads what another account sends. Each input is the bytes
// of one request as they come from the helper's socket. The harness runs
// decode_request and check_request and, for a request they take, the
// dhcpcd.conf block it would write, and checks:
//   - a request is taken only as one of the table's forms: "date" "-s" TEXT
//     with TEXT 1..64 of letters, digits and " :-+/.,@", not starting with
//     '-'; "fixed-ip" "clear"; "fixed-ip" "set" A.B.C.D/P G|none;
//   - an accepted request's words encode back to the very input bytes;
//   - the block written for it holds exactly the begin line, "interface
//     eth0", one "static ip_address=" line, at most one "static routers="
//     line and the end line, each of printable ASCII, and everything of the
//     old file but an earlier block stays (a clear leaves no block).
#include "root_helper.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

[[noreturn]] void Fault(const char *what, const std::string &detail = "") {
    fprintf(stderr, "helper_fuzz: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    abort();
}

bool IsTimeChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c != '\0' && strchr(" :-+/.,@", c) != nullptr);
}

const char kOther[] =
    "hostname\n# a comment\ninterface eth1\nstatic ip_address=10.9.9.9/24\nnodev\n";

void CheckBlock(const std::string &conf, bool set) {
    const std::string begin = std::string(gwhelper::kBlockBegin) + "\n";
    if (conf.compare(0, strlen(kOther), kOther) != 0)
        Fault("the other lines of dhcpcd.conf changed", conf);
    const std::string block = conf.substr(strlen(kOther));
    if (!set) {
        if (!block.empty()) Fault("a clear left a block", block);
        return;
    }
    if (block.compare(0, begin.size(), begin) != 0)
        Fault("the block does not start with its begin line", block);
    const std::string end = std::string(gwhelper::kBlockEnd) + "\n";
    if (block.size() < end.size() || block.compare(block.size() - end.size(), end.size(), end) != 0)
        Fault("the block does not end with its end line", block);
    std::string body = block.substr(begin.size(), block.size() - begin.size() - end.size());
    for (unsigned char c : body)
        if (c != '\n' && (c < 0x20 || c > 0x7E))
            Fault("a byte of the block is not printable", block);
    const std::string iface = "interface eth0\n";
    if (body.compare(0, iface.size(), iface) != 0) Fault("no interface eth0 line first", block);
    body.erase(0, iface.size());
    const std::string addr = "static ip_address=";
    if (body.compare(0, addr.size(), addr) != 0) Fault("no static ip_address line", block);
    const size_t nl = body.find('\n');
    body.erase(0, nl + 1);
    if (!body.empty() &&
        (body.compare(0, 15, "static routers=") != 0 || body.find('\n') != body.size() - 1))
        Fault("more than one routers line after the address", block);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string bytes(reinterpret_cast<const char *>(data), size);
    gwhelper::Words words;
    std::string why;
    if (!gwhelper::decode_request(bytes, &words, &why)) return 0;
    gwhelper::Request request;
    if (!gwhelper::check_request(words, &request, &why)) {
        if (why.empty()) Fault("a refusal without a reason");
        return 0;
    }
    std::string again;
    if (!gwhelper::encode_request(words, &again, &why) || again != bytes)
        Fault("an accepted request does not encode back to its bytes");
    switch (request.duty) {
        case gwhelper::Duty::SetClock: {
            if (words.size() != 3 || words[0] != "date" || words[1] != "-s" ||
                words[2] != request.time_text)
                Fault("date taken in another form");
            const std::string &t = request.time_text;
            if (t.empty() || t.size() > 64 || t[0] == '-')
                Fault("a time text of the wrong length or starting with '-'", t);
            for (char c : t)
                if (!IsTimeChar(c)) Fault("a time text with a character no time text needs", t);
            break;
        }
        case gwhelper::Duty::RenewLease:
        case gwhelper::Duty::ShowStack:
            if (words.size() != 2 || words[0] != "network" ||
                words[1] != (request.duty == gwhelper::Duty::RenewLease ? "renew" : "show"))
                Fault("network taken in another form");
            break;
        case gwhelper::Duty::ClearFixedAddress:
            if (words.size() != 2 || words[0] != "fixed-ip" || words[1] != "clear")
                Fault("clear taken in another form");
            CheckBlock(gwhelper::with_fixed_block(std::string(kOther), nullptr), false);
            break;
        case gwhelper::Duty::SetFixedAddress: {
            if (words.size() != 4 || words[0] != "fixed-ip" || words[1] != "set")
                Fault("set taken in another form");
            if (request.fixed.prefix < 1 || request.fixed.prefix > 32)
                Fault("a prefix outside 1..32");
            // Over an old block, as an update after another leaves it.
            gwhelper::FixedAddress old;
            old.address = 0xC0A80001;
            old.prefix = 24;
            const std::string with_old = gwhelper::with_fixed_block(std::string(kOther), &old);
            CheckBlock(gwhelper::with_fixed_block(with_old, &request.fixed), true);
            break;
        }
    }
    return 0;
}
