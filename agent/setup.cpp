// setup - the UDP configuration datagram service.
//
// One call of process_client_event() reads one datagram from the host's
// socket, logs where it came from, classifies it by its exact length and
// answers, runs or hands over what it carries. Everything is logged to
// standard error; nothing is reported to the caller.

#include "agent.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

extern "C" {
uint8_t search_format[SEARCH_FORMAT_LEN];
}

namespace {

constexpr size_t kCommandOffset = 40;
constexpr size_t kCommandField = 12;
constexpr size_t kArgumentOffset = 52;
constexpr size_t kArgumentField = 20;
constexpr size_t kCommandMacOffset = 34;
constexpr size_t kUpdateMacOffset = 16;
constexpr size_t kUpdateBlockOffset = 24;
constexpr size_t kServiceIpOffset = 72;
constexpr size_t kSearchServiceOffset = 24;
constexpr size_t kReplyBlockOffset = 8;
constexpr size_t kReplyChecksumOffset = SEARCH_FORMAT_LEN - 1;

__attribute__((format(printf, 2, 3))) int DPRINTF(int level, const char *format, ...) {
    if (level == 0)
        return 0;
    char buf[1024];
    va_list ap;
    va_start(ap, format);
    // vsnprintf cuts an over-long text at 1023 characters and terminates it.
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    return fprintf(stderr, "%s\n", buf);
}

uint32_t read_be32(const uint8_t *p) {
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return ntohl(v);
}

uint16_t read_be16(const uint8_t *p) {
    uint16_t v;
    memcpy(&v, p, sizeof v);
    return ntohs(v);
}

// Copies a text field of `field` bytes into dst (field + 1 bytes), so that a
// sender that left no NUL inside the field cannot make us read past it.
void copy_field(char *dst, const uint8_t *src, size_t field) {
    memcpy(dst, src, field);
    dst[field] = '\0';
}

// A date text as `date -s` takes it needs only these characters. Anything
// else could end the double-quoted shell word the argument is placed in.
bool is_date_text(const char *text) {
    for (const char *p = text; *p; ++p) {
        const char c = *p;
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == ' ' || c == ':' || c == '-' ||
                        c == '+' || c == '/' || c == '.' || c == ',' || c == '@';
        if (!ok)
            return false;
    }
    return true;
}

void log_request_mac(const char *prefix, const uint8_t *mac) {
    // The update datagram's lines carry a blank after "REQ:", the command
    // datagram's do not; callers pass the prefix.
    DPRINTF(32, "%smac_addr[0] = %02X, mac_addr[1] = %02X, mac_addr[2] = %02X\n", prefix,
            mac[0], mac[1], mac[2]);
    DPRINTF(32, "%smac_addr[3] = %02X, mac_addr[4] = %02X, mac_addr[5] = %02X\n", prefix,
            mac[3], mac[4], mac[5]);
}

bool mac_matches(const uint8_t *mac, const EqpConfig *eqp) {
    for (int i = 0; i < 6; ++i) {
        if (mac[i] != eqp->mac[i])
            return false;
    }
    return true;
}

void handle_command(int fd, const uint8_t *work, ssize_t len, uint8_t *cmdline,
                    size_t cmdline_size, uint8_t *block, const sockaddr_in &from,
                    socklen_t fromlen, const EqpConfig *eqp) {
    DPRINTF(32, "MESSAGE_COMMAND_LEN(%d)\n", static_cast<int>(len));
    DPRINTF(32, "service_port = %08X, service_port = %d, service_type = %d\n",
            read_be32(work + kServiceIpOffset), read_be16(work + kServiceIpOffset + 4),
            read_be16(work + kServiceIpOffset + 6));
    log_request_mac("REQ:", work + kCommandMacOffset);
    if (!mac_matches(work + kCommandMacOffset, eqp))
        return;

    char command[kCommandField + 1];
    copy_field(command, work + kCommandOffset, kCommandField);

    if (strcmp(command, "Reboot") == 0)
        DPRINTF(32, "Reboot Command Received.\n");

    if (strcmp(command, "TimeSync") == 0) {
        DPRINTF(32, "TimeSync Command Received.\n");
        char argument[kArgumentField + 1];
        copy_field(argument, work + kArgumentOffset, kArgumentField);
        if (is_date_text(argument)) {
            char *line = reinterpret_cast<char *>(cmdline);
            snprintf(line, cmdline_size, "sudo date -s \"%s\" > /dev/null", argument);
            DPRINTF(32, "[TimeSync]%s\n", line);
            // The clock command's exit status is not examined.
            (void)!system(line);
        } else {
            DPRINTF(32, "[TimeSync]refused: the argument holds a character that no date text "
                        "needs; nothing was run\n");
        }
    }

    if (strcmp(command, "ClrCfgBuf") == 0) {
        DPRINTF(32, "ClearBuf Command Received.\n");
        memset(block, 0, SERVER_ACK_MSG_LEN);
        block[0] = REPLY_MARKER;
        memcpy(block + 1, eqp->mac, 6);
        memcpy(block + 8, "ReceiveConfig", sizeof "ReceiveConfig");
        const ssize_t sent = sendto(fd, block, SERVER_ACK_MSG_LEN, 0,
                                    reinterpret_cast<const sockaddr *>(&from), fromlen);
        DPRINTF(32, "server_ack_msg size = %d(actual = %d)\n", SERVER_ACK_MSG_LEN,
                static_cast<int>(sent));
    } else {
        DPRINTF(32, "%s, len = %d\n", command, static_cast<int>(strlen(command)));
    }
}

void handle_update(const uint8_t *work, ssize_t len, uint8_t *block, const EqpConfig *eqp) {
    DPRINTF(32, "UPDATE_COMMAND_LEN(%d)\n", static_cast<int>(len));
    log_request_mac("REQ: ", work + kUpdateMacOffset);
    if (!mac_matches(work + kUpdateMacOffset, eqp))
        return;
    DPRINTF(32, "UPDATE_PAYLOAD_SIZE(%d)\n", UPDATE_PAYLOAD_SIZE);
    memcpy(block, work + kUpdateBlockOffset, UPDATE_PAYLOAD_SIZE);
    setDeviceConfig(block);
    DPRINTF(32, "upate OK\n");
}

void handle_search(int fd, const uint8_t *work, const sockaddr_in &from, socklen_t fromlen,
                   const EqpConfig *eqp) {
    if (memcmp(work, SEARCH_MAGIC, SEARCH_MAGIC_LEN) != 0)
        return;
    // A discovery request is 24 bytes long; these fields lie past its end
    // and read as zero from the cleared working copy.
    DPRINTF(32, "service_ip = %08X, service_port = %d, service_type = %d\n",
            read_be32(work + kSearchServiceOffset), read_be16(work + kSearchServiceOffset + 4),
            read_be16(work + kSearchServiceOffset + 6));

    memset(search_format, 0, sizeof search_format);
    search_format[0] = REPLY_MARKER;
    memcpy(search_format + 1, eqp->mac, 6);
    getDeviceConfig(search_format + kReplyBlockOffset);

    uint8_t checksum = 0;
    for (size_t i = kReplyBlockOffset; i < kReplyChecksumOffset; ++i)
        checksum = static_cast<uint8_t>(checksum + search_format[i]);
    search_format[kReplyChecksumOffset] = checksum;
    DPRINTF(32, "checksum = %02X\n", checksum);

    const ssize_t sent = sendto(fd, search_format, SEARCH_FORMAT_LEN, 0,
                                reinterpret_cast<const sockaddr *>(&from), fromlen);
    const int err = errno;
    DPRINTF(32, "sendto() buffer size = %d(actual = %d)\n", SEARCH_FORMAT_LEN,
            static_cast<int>(sent));
    if (sent == -1)
        DPRINTF(32, "errno = %d\n", err);
}

}  // namespace

extern "C" void process_client_event(int socket_fd) {
    sockaddr_in from;
    memset(&from, 0, sizeof from);
    socklen_t fromlen = 16;
    const EqpConfig *eqp = saGetEqpConfigPtr();

    uint8_t recvbuf[RECV_BUF_SIZE];
    memset(recvbuf, 0, sizeof recvbuf);
    const ssize_t len = recvfrom(socket_fd, recvbuf, RECV_BUF_SIZE, 0,
                                 reinterpret_cast<sockaddr *>(&from), &fromlen);
    if (len < 0) {
        DPRINTF(32, "process_client_event():recvfrom() failed, errno = %d\n", errno);
        return;
    }

    // Cleared first, so fields past the end of a short request read as zero.
    uint8_t work[RECV_BUF_SIZE];
    memset(work, 0, sizeof work);
    memcpy(work, recvbuf, static_cast<size_t>(len));

    DPRINTF(32, "process_client_event():Receive from %s, port %d\n", inet_ntoa(from.sin_addr),
            ntohs(from.sin_port));

    uint8_t block[UPDATE_PAYLOAD_SIZE];
    switch (len) {
    case MESSAGE_COMMAND_LEN:
        handle_command(socket_fd, work, len, recvbuf, sizeof recvbuf, block, from, fromlen, eqp);
        break;
    case UPDATE_COMMAND_LEN:
        handle_update(work, len, block, eqp);
        break;
    case SEARCH_COMMAND_LEN:
        handle_search(socket_fd, work, from, fromlen, eqp);
        break;
    default:
        DPRINTF(32, "Unknown command, len = %d\n", static_cast<int>(len));
        break;
    }
}

extern "C" void get_current_datetime(char *datetime_text) {
    const time_t now = time(nullptr);
    struct tm tm_now;
    if (localtime_r(&now, &tm_now) == nullptr)
        memset(&tm_now, 0, sizeof tm_now);
    // 17 characters and the NUL for years 1000 to 9999; any other year is
    // cut to fit the caller's 18 bytes.
    char full[96];
    snprintf(full, sizeof full, "%4d%02d%02d %02d:%02d:%02d", tm_now.tm_year + 1900,
             tm_now.tm_mon + 1, tm_now.tm_mday, tm_now.tm_hour, tm_now.tm_min, tm_now.tm_sec);
    const size_t n = strnlen(full, 17);
    memcpy(datetime_text, full, n);
    datetime_text[n] = '\0';
    DPRINTF(32, "Current DateTime(%d) = \"%s\"\n", static_cast<int>(strlen(datetime_text)),
            datetime_text);
}
