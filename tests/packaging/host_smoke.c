/* A host daemon in C built only from the installed package: the header
 * compiles as C, `pkg-config gwagent` gives every flag and library the link
 * needs, and the archive serves a discovery request over loopback. */
#define _POSIX_C_SOURCE 200809L

#include "agent.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static const uint8_t kMac[6] = {0x02, 0x00, 0x5E, 0x10, 0x20, 0x30};

int getDeviceConfig(uint8_t *block) {
    for (int i = 0; i < UPDATE_PAYLOAD_SIZE; ++i)
        block[i] = (uint8_t)(i * 7 + 3);
    return 0;
}

int setDeviceConfig(const uint8_t *block) {
    (void)block;
    return 0;
}

int NetMACAddressGet(uint8_t *mac) {
    memcpy(mac, kMac, 6);
    return 0;
}

static int bound_socket(struct sockaddr_in *addr) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    memset(addr, 0, sizeof *addr);
    addr->sin_family = AF_INET;
    addr->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof *addr;
    if (fd < 0 || bind(fd, (struct sockaddr *)addr, sizeof *addr) != 0 ||
        getsockname(fd, (struct sockaddr *)addr, &len) != 0) {
        perror("host_smoke: socket");
        return -1;
    }
    return fd;
}

int main(void) {
    InitFactoryDefault();
    if (memcmp(saGetEqpConfigPtr()->mac, kMac, 6) != 0) {
        fprintf(stderr, "host_smoke: the factory defaults did not take the MAC address\n");
        return 1;
    }

    struct sockaddr_in agent_addr, peer_addr;
    int agent = bound_socket(&agent_addr);
    int peer = bound_socket(&peer_addr);
    if (agent < 0 || peer < 0) return 1;

    uint8_t request[SEARCH_COMMAND_LEN] = {0};
    memcpy(request, SEARCH_MAGIC, SEARCH_MAGIC_LEN);
    sendto(peer, request, sizeof request, 0, (struct sockaddr *)&agent_addr, sizeof agent_addr);
    struct pollfd p = {agent, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) {
        fprintf(stderr, "host_smoke: the request did not arrive\n");
        return 1;
    }
    process_client_event(agent);

    uint8_t reply[2048];
    p.fd = peer;
    ssize_t n = poll(&p, 1, 5000) == 1 ? recv(peer, reply, sizeof reply, 0) : -1;
    if (n != SEARCH_FORMAT_LEN) {
        fprintf(stderr, "host_smoke: reply of %d bytes, want %d\n", (int)n, SEARCH_FORMAT_LEN);
        return 1;
    }
    uint8_t sum = 0;
    for (int i = 0; i < UPDATE_PAYLOAD_SIZE; ++i)
        sum = (uint8_t)(sum + (uint8_t)(i * 7 + 3));
    if (reply[0] != REPLY_MARKER || memcmp(reply + 1, kMac, 6) != 0 || reply[8] != 3 ||
        reply[SEARCH_FORMAT_LEN - 1] != sum) {
        fprintf(stderr, "host_smoke: the reply is not marker, MAC, block, checksum\n");
        return 1;
    }
    close(agent);
    close(peer);
    printf("host_smoke: discovery answered\n");
    return 0;
}
