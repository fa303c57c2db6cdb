// gwcfgd - reference host daemon for the configuration agent.
//
// Owns the UDP socket and the main loop, supplies the three host functions
// the modules call, and keeps the gateway's configuration block.

#include "agent.h"

#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

constexpr int kDefaultPort = 48321;

volatile sig_atomic_t g_stop = 0;
uint8_t g_mac[6];
uint8_t g_block[UPDATE_PAYLOAD_SIZE];

void on_signal(int) { g_stop = 1; }

void usage(FILE *out) {
    fprintf(out,
            "usage: gwcfgd [options]\n"
            "\n"
            "Serves the gateway configuration protocol on UDP.\n"
            "\n"
            "  --bind ADDR    IPv4 address to listen on (default 127.0.0.1;\n"
            "                 0.0.0.0 to serve the LAN)\n"
            "  --port N       UDP port (default %d)\n"
            "  --mac MAC      the gateway's MAC address, as XX:XX:XX:XX:XX:XX\n"
            "  --iface NAME   read the MAC address from /sys/class/net/NAME/address\n"
            "                 (used when --mac is not given)\n"
            "  --help         show this text\n",
            kDefaultPort);
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Exactly six pairs of hexadecimal digits separated by ':'.
bool parse_mac(const std::string &text, uint8_t mac[6]) {
    if (text.size() != 17)
        return false;
    for (int i = 0; i < 6; ++i) {
        const int hi = hex_digit(text[i * 3]);
        const int lo = hex_digit(text[i * 3 + 1]);
        if (hi < 0 || lo < 0 || (i < 5 && text[i * 3 + 2] != ':'))
            return false;
        mac[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
}

bool mac_from_iface(const std::string &iface, uint8_t mac[6], std::string *why) {
    if (iface.empty() || iface.find('/') != std::string::npos || iface == "." || iface == "..") {
        *why = "not an interface name";
        return false;
    }
    const std::string path = "/sys/class/net/" + iface + "/address";
    std::ifstream in(path);
    std::string text;
    if (!in || !std::getline(in, text)) {
        *why = "cannot read " + path;
        return false;
    }
    if (!parse_mac(text, mac)) {
        *why = path + " does not hold a MAC address";
        return false;
    }
    return true;
}

int bad_usage(const char *msg, const char *arg) {
    fprintf(stderr, "gwcfgd: %s%s%s\n", msg, arg ? ": " : "", arg ? arg : "");
    fprintf(stderr, "Try 'gwcfgd --help' for the options.\n");
    return 2;
}

}  // namespace

extern "C" int NetMACAddressGet(uint8_t *mac) {
    memcpy(mac, g_mac, 6);
    return 0;
}

extern "C" int getDeviceConfig(uint8_t *block) {
    memcpy(block, g_block, sizeof g_block);
    return 0;
}

extern "C" int setDeviceConfig(const uint8_t *block) {
    memcpy(g_block, block, sizeof g_block);
    return 0;
}

int main(int argc, char **argv) {
    std::string bind_addr = "127.0.0.1";
    long port = kDefaultPort;
    std::string mac_text, iface;

    static const option longopts[] = {
        {"bind", required_argument, nullptr, 'b'}, {"port", required_argument, nullptr, 'p'},
        {"mac", required_argument, nullptr, 'm'},  {"iface", required_argument, nullptr, 'i'},
        {"help", no_argument, nullptr, 'h'},       {nullptr, 0, nullptr, 0}};
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
        switch (c) {
        case 'b':
            bind_addr = optarg;
            break;
        case 'p': {
            char *end = nullptr;
            errno = 0;
            port = strtol(optarg, &end, 10);
            if (errno || !*optarg || *end || port < 1 || port > 65535)
                return bad_usage("--port wants a number from 1 to 65535", optarg);
            break;
        }
        case 'm':
            mac_text = optarg;
            break;
        case 'i':
            iface = optarg;
            break;
        case 'h':
            usage(stdout);
            return 0;
        default:
            return bad_usage("unknown option or missing value", argv[optind - 1]);
        }
    }
    if (optind < argc)
        return bad_usage("unexpected argument", argv[optind]);

    if (!mac_text.empty()) {
        if (!parse_mac(mac_text, g_mac))
            return bad_usage("--mac wants XX:XX:XX:XX:XX:XX", mac_text.c_str());
    } else if (!iface.empty()) {
        std::string why;
        if (!mac_from_iface(iface, g_mac, &why)) {
            fprintf(stderr, "gwcfgd: no MAC address for interface %s: %s\n", iface.c_str(),
                    why.c_str());
            fprintf(stderr, "Give the address with --mac XX:XX:XX:XX:XX:XX.\n");
            return 2;
        }
    } else {
        fprintf(stderr, "gwcfgd: the gateway's MAC address is unknown\n");
        fprintf(stderr, "Give it with --mac XX:XX:XX:XX:XX:XX or name the interface with "
                        "--iface NAME.\n");
        return 2;
    }

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, bind_addr.c_str(), &addr.sin_addr) != 1)
        return bad_usage("--bind wants an IPv4 address", bind_addr.c_str());

    InitFactoryDefault();

    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        perror("gwcfgd: socket");
        return 1;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        fprintf(stderr, "gwcfgd: cannot listen on %s:%ld: %s\n", bind_addr.c_str(), port,
                strerror(errno));
        return 1;
    }

    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    fprintf(stderr, "gwcfgd: serving %s:%ld for %02X:%02X:%02X:%02X:%02X:%02X\n",
            bind_addr.c_str(), port, g_mac[0], g_mac[1], g_mac[2], g_mac[3], g_mac[4], g_mac[5]);

    while (!g_stop) {
        pollfd p{fd, POLLIN, 0};
        int n = poll(&p, 1, 1000);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            perror("gwcfgd: poll");
            close(fd);
            return 1;
        }
        if (n > 0 && (p.revents & POLLIN))
            process_client_event(fd);
    }
    close(fd);
    fprintf(stderr, "gwcfgd: stopped\n");
    return 0;
}
