// Fuzz harness: the datagram handler. Each input is sent as one UDP
// datagram over loopback to the agent's socket and handled by one call of
// process_client_event(). Besides the sanitizers, the harness checks what
// the handler did against what the datagram asks for, and aborts on any
// difference:
//   - the replies that reach the sender (kind, size, content);
//   - the calls of getDeviceConfig and setDeviceConfig and the block handed over;
//   - the commands that reach the shell: a fake `sudo`, first on PATH,
//     records its arguments. Only a TimeSync whose argument holds nothing
//     but date characters may give a call, exactly "date -s <argument
//     field>"; anything else gives no call at all. A TimeSync that ran must
//     name a time at or after the build, as the system's own date command
//     (date -d, GNU) reads the text; a text that date cannot read sets
//     nothing and passes.

#include "agent.h"
#include "config_protocol.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace gwproto;

const uint8_t kMac[6] = {0x02, 0x00, 0x00, 0xC0, 0xFF, 0xEE};

struct HostCalls {
    int get = 0;
    int set = 0;
    uint8_t last_set[UPDATE_PAYLOAD_SIZE];
} g_host;

uint8_t BlockByte(size_t i) { return static_cast<uint8_t>(i * 13 + 5); }

[[noreturn]] void Fault(const char *what) {
    fprintf(stderr, "datagram_fuzz: %s\n", what);
    abort();
}

struct Rig {
    int agent = -1;
    int peer = -1;
    sockaddr_in agent_addr{};
    std::string dir;
    std::string sudo_log;

    Rig() {
        char tmpl[] = "/tmp/gwfuzz-sudo.XXXXXX";
        if (!mkdtemp(tmpl)) Fault("mkdtemp failed");
        dir = tmpl;
        sudo_log = dir + "/calls";
        const std::string fake = dir + "/sudo";
        FILE *f = fopen(fake.c_str(), "w");
        if (!f) Fault("cannot write the fake sudo");
        // One line per call, the arguments joined by single spaces.
        fprintf(f, "#!/bin/sh\nprintf '%%s\\n' \"$*\" >> '%s'\nexit 0\n", sudo_log.c_str());
        fclose(f);
        chmod(fake.c_str(), 0755);
        const char *path = getenv("PATH");
        setenv("PATH", (dir + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);

        agent = Bound(&agent_addr);
        sockaddr_in peer_addr{};
        peer = Bound(&peer_addr);
        fcntl(peer, F_SETFL, O_NONBLOCK);
        InitFactoryDefault();  // takes kMac through NetMACAddressGet
        if (memcmp(saGetEqpConfigPtr()->mac, kMac, 6) != 0)
            Fault("the equipment record did not take the MAC address");
    }

    ~Rig() {
        close(agent);
        close(peer);
        unlink(sudo_log.c_str());
        unlink((dir + "/sudo").c_str());
        rmdir(dir.c_str());
    }

    static int Bound(sockaddr_in *addr) {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        addr->sin_family = AF_INET;
        addr->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr->sin_port = 0;
        socklen_t len = sizeof *addr;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(addr), sizeof *addr) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr *>(addr), &len) != 0)
            Fault("cannot bind a loopback socket");
        return fd;
    }

    std::vector<std::vector<uint8_t>> Replies() const {
        std::vector<std::vector<uint8_t>> out;
        for (;;) {
            std::vector<uint8_t> buf(2048);
            const ssize_t n = recv(peer, buf.data(), buf.size(), 0);
            if (n < 0) return out;
            buf.resize(static_cast<size_t>(n));
            out.push_back(buf);
        }
    }

    std::string TakeSudoCalls() const {
        std::string text;
        if (FILE *f = fopen(sudo_log.c_str(), "r")) {
            char buf[512];
            size_t n;
            while ((n = fread(buf, 1, sizeof buf, f)) > 0)
                text.append(buf, n);
            fclose(f);
            unlink(sudo_log.c_str());
        }
        return text;
    }
};

Rig &TheRig() {
    static Rig rig;
    return rig;
}

// The text of a fixed-size field: up to its first NUL, or all of it.
std::string Field(const uint8_t *data, size_t size, size_t offset, size_t width) {
    std::string text;
    for (size_t i = offset; i < offset + width && i < size && data[i] != 0; ++i)
        text.push_back(static_cast<char>(data[i]));
    return text;
}

// The time the system's date command reads in text (seconds since the
// epoch), or false when it cannot read it. text holds date characters only.
bool DateReads(const std::string &text, long long *seconds) {
    const std::string cmd = "date -d '" + text + "' +%s 2>/dev/null";
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) Fault("cannot run date -d");
    char out[64] = {};
    const bool got = fgets(out, sizeof out, p) != nullptr;
    const int status = pclose(p);
    if (!got || status != 0) return false;
    *seconds = atoll(out);
    return true;
}

}  // namespace

extern "C" int getDeviceConfig(uint8_t *block) {
    ++g_host.get;
    for (size_t i = 0; i < UPDATE_PAYLOAD_SIZE; ++i)
        block[i] = BlockByte(i);
    return 0;
}

extern "C" int setDeviceConfig(const uint8_t *block) {
    ++g_host.set;
    memcpy(g_host.last_set, block, UPDATE_PAYLOAD_SIZE);
    return 0;
}

extern "C" int NetMACAddressGet(uint8_t *mac) {
    memcpy(mac, kMac, 6);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Rig &rig = TheRig();
    if (size > 65000) return 0;  // more than one UDP datagram holds
    g_host.get = g_host.set = 0;

    if (sendto(rig.peer, data, size, 0, reinterpret_cast<const sockaddr *>(&rig.agent_addr),
               sizeof rig.agent_addr) != static_cast<ssize_t>(size))
        Fault("sendto failed");
    pollfd p{rig.agent, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) Fault("the datagram did not arrive");
    process_client_event(rig.agent);

    const auto replies = rig.Replies();
    const std::string sudo = rig.TakeSudoCalls();

    // What this datagram asks for. The handler reads at most RECV_BUF_SIZE
    // bytes; a longer datagram arrives cut and matches no kind.
    const size_t len = size < RECV_BUF_SIZE ? size : RECV_BUF_SIZE;
    const bool search = len == SEARCH_COMMAND_LEN &&
                        memcmp(data, SEARCH_MAGIC, SEARCH_MAGIC_LEN) == 0;
    const bool command = len == MESSAGE_COMMAND_LEN &&
                         memcmp(data + kCommandMacOffset, kMac, kMacSize) == 0;
    const bool update = len == UPDATE_COMMAND_LEN &&
                        memcmp(data + kUpdateMacOffset, kMac, kMacSize) == 0;
    const std::string name = command ? Field(data, size, kCommandTextOffset, kCommandTextField)
                                     : "";
    const std::string arg = command ? Field(data, size, kArgumentOffset, kArgumentField) : "";
    const bool clear = command && name == kCommandClear;
    const bool timesync = command && name == kCommandTimeSync && is_date_text(arg.c_str());

    if (g_host.get != (search ? 1 : 0)) Fault("getDeviceConfig calls do not match the datagram");
    if (g_host.set != (update ? 1 : 0)) Fault("setDeviceConfig calls do not match the datagram");
    if (update && memcmp(g_host.last_set, data + kUpdateBlockOffset, UPDATE_PAYLOAD_SIZE) != 0)
        Fault("setDeviceConfig got another block than the update carried");

    if (replies.size() != ((search || clear) ? 1u : 0u)) Fault("replies do not match the datagram");
    if (search) {
        const auto &r = replies[0];
        uint8_t sum = 0;
        for (size_t i = 0; i < UPDATE_PAYLOAD_SIZE; ++i)
            sum = static_cast<uint8_t>(sum + BlockByte(i));
        if (r.size() != SEARCH_FORMAT_LEN || r[0] != REPLY_MARKER ||
            memcmp(&r[kReplyMacOffset], kMac, kMacSize) != 0 ||
            r[kReplyMacOffset + kMacSize] != 0 || r[kReplyBlockOffset] != BlockByte(0) ||
            r[kReplyChecksumOffset] != sum)
            Fault("the discovery reply is wrong");
    }
    if (clear) {
        const auto &r = replies[0];
        if (r.size() != SERVER_ACK_MSG_LEN || r[0] != REPLY_MARKER ||
            memcmp(&r[kReplyMacOffset], kMac, kMacSize) != 0 ||
            memcmp(&r[kAckTextOffset], kAckText, sizeof kAckText) != 0)
            Fault("the ClrCfgBuf acknowledgement is wrong");
    }

    // A TimeSync the handler refused (a date before the build, a text it
    // cannot place) runs nothing; one it took runs exactly the date command.
    const std::string want_sudo = timesync ? "date -s " + arg + "\n" : "";
    if (!sudo.empty() && sudo != want_sudo) {
        fprintf(stderr, "datagram_fuzz: sudo ran with \"%s\", want \"%s\"\n", sudo.c_str(),
                want_sudo.c_str());
        Fault("the commands run through sudo do not match the datagram");
    }
    long long when = 0;
    if (!sudo.empty() && DateReads(arg, &when) && when < GW_BUILD_TIME) {
        fprintf(stderr, "datagram_fuzz: \"%s\" set the clock to %lld, before the build (%lld)\n",
                arg.c_str(), when, static_cast<long long>(GW_BUILD_TIME));
        Fault("a TimeSync set the clock before the build time");
    }
    return 0;
}
