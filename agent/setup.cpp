// setup - the UDP configuration datagram service.
//
// One call of process_client_event() reads one datagram from the host's
// socket, logs where it came from, classifies it by its exact length and
// answers, runs or hands over what it carries. Everything is logged to
// standard error; nothing is reported to the caller.
//
// Bytes that came from the network reach the log as they are when they are
// printable ASCII and as \xNN otherwise, so a datagram cannot forge a line
// or send control sequences to a terminal.

#include "agent.h"
#include "agent_dprintf.h"
#include "config_protocol.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

extern "C" {
uint8_t search_format[SEARCH_FORMAT_LEN];
}

#ifndef GWAGENT_BUILD_TIME
// Built outside this project's build: the floor is midnight UTC of the day
// the compiler ran, from __DATE__ (see build_time()).
#define GWAGENT_BUILD_TIME 0
#endif

namespace {

using namespace gwproto;

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

struct Service {
    uint32_t ip;
    uint16_t port, type;
};

// service_ip, service_port and service_type, laid out as in the command
// datagram, from `at` on.
Service read_service(const uint8_t *at) {
    return Service{read_be32(at), read_be16(at + (kServicePortOffset - kServiceIpOffset)),
                   read_be16(at + (kServiceTypeOffset - kServiceIpOffset))};
}

// Copies a text field of `field` bytes into dst (field + 1 bytes), so that a
// sender that left no NUL inside the field cannot make us read past it.
void copy_field(char *dst, const uint8_t *src, size_t field) {
    memcpy(dst, src, field);
    dst[field] = '\0';
}

// Writes text into out (at least 4 * strlen(text) + 1 bytes) as a log line
// shows bytes from the network: printable ASCII as is, any other byte as
// \xNN.
void escape_text(const char *text, char *out) {
    static const char kHex[] = "0123456789ABCDEF";
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        if (*p >= 0x20 && *p <= 0x7E) {
            *out++ = static_cast<char>(*p);
        } else {
            *out++ = '\\';
            *out++ = 'x';
            *out++ = kHex[*p >> 4];
            *out++ = kHex[*p & 0xF];
        }
    }
    *out = '\0';
}

// ---- The TimeSync floor ---------------------------------------------------
//
// A clock set before the program was built is certainly wrong (and breaks
// certificates, logs and the forwarder's timestamps), so a date text is
// placed on the time line first and refused when it lies before the build.
// Only the forms below are placed; `date -s` takes many more (relative
// dates, military zones, ...), but a text the handler cannot place could
// name any time, so it is refused too.
//
//   @SECONDS                      seconds since the epoch ("@1796634303")
//   YYYYMMDD, YYYY-MM-DD, YYYY/MM/DD, MM/DD/YYYY, MM/DD/YY
//   a month name with a day and an optional year ("Dec 7, 2026", "7 Dec 2026")
//   a time H:MM, H:MM:SS, H:MM:SS.frac, with am/pm, a zone (Z, UTC, GMT,
//   +HH, +HHMM, +HH:MM) or, after a date, a bare H or HHMM
//   "T" between an ISO date and its time; weekday names next to a date
//
// A text without a zone is local time, as `date -s` reads it; a date
// without a time is midnight, a time without a date is today.

int64_t days_from_civil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int days_in_month(int y, int m) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : kDays[m - 1];
}

// Midnight UTC of the day in __DATE__ ("Dec 10 2026").
int64_t date_macro_time() {
    static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    const char *date = __DATE__;
    int month = 1;
    for (int i = 0; i < 12; ++i)
        if (strncmp(kMonths + 3 * i, date, 3) == 0) month = i + 1;
    return days_from_civil(atoi(date + 7), month, atoi(date + 4)) * 86400;
}

int64_t build_time() {
    static const int64_t kTime = GWAGENT_BUILD_TIME != 0 ? GWAGENT_BUILD_TIME : date_macro_time();
    return kTime;
}

bool all_digits(const char *p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] < '0' || p[i] > '9') return false;
    return n > 0;
}

int number(const char *p, size_t n) {
    int v = 0;
    for (size_t i = 0; i < n; ++i)
        v = v * 10 + (p[i] - '0');
    return v;
}

// The index (1-12 or 1-7) of a month or weekday name: its first three
// letters or all of its letters, in any case ("Sept" too); 0 when it is
// none.
int name_index(const char *word, size_t n, const char *const names[], int count) {
    for (int i = 0; i < count; ++i) {
        const size_t full = strlen(names[i]);
        const bool form = n == 3 || n == full || (n == 4 && strncasecmp(word, "Sept", 4) == 0);
        if (form && n <= full && strncasecmp(word, names[i], n) == 0) return i + 1;
    }
    return 0;
}

const char *const kMonthNames[] = {"January",   "February", "March",    "April",
                                   "May",       "June",     "July",     "August",
                                   "September", "October",  "November", "December"};
const char *const kDayNames[] = {"Monday", "Tuesday",  "Wednesday", "Thursday",
                                 "Friday", "Saturday", "Sunday"};

struct DateFields {
    int year = -1, month = -1, day = -1;  // -1: not given
    int hour = -1, minute = 0, second = 0;
    int meridian = 0;  // 0 none, 1 am, 2 pm
    bool zoned = false;
    int offset = 0;  // seconds east of UTC
    bool month_named = false;
    bool weekday = false;
    int bare[4];
    size_t bare_len[4];
    int bares = 0;
};

// "+HH", "+HHMM" or "+HH:MM" (or with '-'): the zone's offset in seconds.
bool parse_offset(const char *p, size_t n, int *offset) {
    if (n < 3 || (p[0] != '+' && p[0] != '-')) return false;
    const char *d = p + 1;
    size_t len = n - 1;
    int hours, minutes = 0;
    if (len == 2 && all_digits(d, 2)) {
        hours = number(d, 2);
    } else if (len == 4 && all_digits(d, 4)) {
        hours = number(d, 2);
        minutes = number(d + 2, 2);
    } else if (len == 5 && d[2] == ':' && all_digits(d, 2) && all_digits(d + 3, 2)) {
        hours = number(d, 2);
        minutes = number(d + 3, 2);
    } else {
        return false;
    }
    if (hours > 14 || minutes > 59) return false;
    *offset = (p[0] == '-' ? -1 : 1) * (hours * 3600 + minutes * 60);
    return true;
}

bool parse_zone_word(const char *p, size_t n, DateFields *f) {
    if ((n == 1 && (*p == 'Z' || *p == 'z')) ||
        (n == 3 && (strncasecmp(p, "UTC", 3) == 0 || strncasecmp(p, "GMT", 3) == 0)) ||
        (n == 2 && strncasecmp(p, "UT", 2) == 0)) {
        if (f->zoned) return false;
        f->zoned = true;
        f->offset = 0;
        return true;
    }
    return false;
}

bool parse_meridian(const char *p, size_t n, DateFields *f) {
    if (n != 2 || (p[1] != 'm' && p[1] != 'M') || f->meridian) return false;
    if (p[0] == 'a' || p[0] == 'A')
        f->meridian = 1;
    else if (p[0] == 'p' || p[0] == 'P')
        f->meridian = 2;
    else
        return false;
    return true;
}

// H:MM, H:MM:SS or H:MM:SS.frac, then optionally am/pm, Z or an offset.
bool parse_time(const char *p, size_t n, DateFields *f) {
    if (f->hour >= 0) return false;
    size_t i = 0;
    while (i < n && i < 2 && p[i] >= '0' && p[i] <= '9')
        ++i;
    if (i == 0 || i >= n || p[i] != ':' || i + 3 > n || !all_digits(p + i + 1, 2)) return false;
    f->hour = number(p, i);
    f->minute = number(p + i + 1, 2);
    i += 3;
    if (i < n && p[i] == ':') {
        if (i + 3 > n || !all_digits(p + i + 1, 2)) return false;
        f->second = number(p + i + 1, 2);
        i += 3;
        if (i < n && (p[i] == '.' || p[i] == ',')) {
            ++i;
            const size_t start = i;
            while (i < n && p[i] >= '0' && p[i] <= '9')
                ++i;
            if (i == start) return false;
        }
    }
    if (i == n) return true;
    if (parse_meridian(p + i, n - i, f) || parse_zone_word(p + i, n - i, f)) return true;
    if (!f->zoned && parse_offset(p + i, n - i, &f->offset)) {
        f->zoned = true;
        return true;
    }
    return false;
}

bool set_date(DateFields *f, int y, int m, int d) {
    if (f->year >= 0 || f->month >= 0) return false;
    f->year = y;
    f->month = m;
    f->day = d;
    return true;
}

// One word of a date text (no blanks or commas inside).
bool parse_token(const char *p, size_t n, DateFields *f) {
    if (isalpha(static_cast<unsigned char>(*p))) {
        bool letters = true;
        for (size_t i = 0; i < n; ++i)
            letters = letters && isalpha(static_cast<unsigned char>(p[i]));
        if (!letters) return false;
        if (const int m = name_index(p, n, kMonthNames, 12)) {
            if (f->month >= 0) return false;
            f->month = m;
            f->month_named = true;
            return true;
        }
        if (name_index(p, n, kDayNames, 7)) {
            f->weekday = true;
            return true;
        }
        return parse_zone_word(p, n, f) || parse_meridian(p, n, f);
    }
    if (*p == '+' || *p == '-') {
        if (f->zoned || f->hour < 0 || !parse_offset(p, n, &f->offset)) return false;
        f->zoned = true;
        return true;
    }
    if (n >= 10 && all_digits(p, 4) && p[4] == '-' && all_digits(p + 5, 2) && p[7] == '-' &&
        all_digits(p + 8, 2)) {
        if (!set_date(f, number(p, 4), number(p + 5, 2), number(p + 8, 2))) return false;
        if (n == 10) return true;
        return (p[10] == 'T' || p[10] == 't') && parse_time(p + 11, n - 11, f);
    }
    if (memchr(p, '/', n)) {
        // YYYY/MM/DD, MM/DD/YYYY or MM/DD/YY.
        const char *s1 = static_cast<const char *>(memchr(p, '/', n));
        const char *s2 = static_cast<const char *>(memchr(s1 + 1, '/', n - (s1 + 1 - p)));
        if (!s2) return false;
        const size_t a = s1 - p, b = s2 - s1 - 1, c = n - (s2 + 1 - p);
        if (!all_digits(p, a) || !all_digits(s1 + 1, b) || !all_digits(s2 + 1, c) || b < 1 || b > 2)
            return false;
        if (a == 4 && c <= 2)
            return set_date(f, number(p, 4), number(s1 + 1, b), number(s2 + 1, c));
        if (a > 2) return false;
        int y = number(s2 + 1, c);
        if (c == 2)
            y += y < 69 ? 2000 : 1900;
        else if (c != 4)
            return false;
        return set_date(f, y, number(p, a), number(s1 + 1, b));
    }
    if (memchr(p, ':', n)) return parse_time(p, n, f);
    if (all_digits(p, n)) {
        if (n == 8) return set_date(f, number(p, 4), number(p + 4, 2), number(p + 6, 2));
        if (f->bares == 4 || (n != 1 && n != 2 && n != 4)) return false;
        f->bare[f->bares] = number(p, n);
        f->bare_len[f->bares++] = n;
        return true;
    }
    return false;
}

// Assigns the bare numbers: the day and year of a named month, then an
// hour (H) or HHMM after a date.
bool place_bare_numbers(DateFields *f) {
    for (int i = 0; i < f->bares; ++i) {
        const int v = f->bare[i];
        const size_t n = f->bare_len[i];
        if (f->month_named && n <= 2 && f->day < 0) {
            f->day = v;
        } else if (f->month_named && n == 4 && f->year < 0) {
            f->year = v;
        } else if (f->day >= 0 && f->hour < 0) {
            f->hour = n == 4 ? v / 100 : v;
            f->minute = n == 4 ? v % 100 : 0;
        } else {
            return false;
        }
    }
    return true;
}

// The time a date text names, in seconds since the epoch; false when the
// text is not one of the forms above or names no valid date.
bool date_text_seconds(const char *text, time_t now, int64_t *out) {
    while (*text == ' ')
        ++text;
    if (*text == '@') {
        const char *p = text + 1;
        const bool negative = *p == '-';
        if (*p == '-' || *p == '+') ++p;
        size_t digits = 0;
        while (p[digits] >= '0' && p[digits] <= '9')
            ++digits;
        if (digits == 0 || digits > 15) return false;
        const char *rest = p + digits;
        if (*rest == '.' || *rest == ',') {
            ++rest;
            while (*rest >= '0' && *rest <= '9')
                ++rest;
        }
        while (*rest == ' ')
            ++rest;
        if (*rest) return false;
        int64_t v = 0;
        for (size_t i = 0; i < digits; ++i)
            v = v * 10 + (p[i] - '0');
        *out = negative ? -v : v;
        return true;
    }

    DateFields f;
    size_t tokens = 0;
    bool after_comma = false;
    for (const char *p = text; *p;) {
        if (*p == ' ' || *p == ',') {
            after_comma = after_comma || *p == ',';
            ++p;
            continue;
        }
        size_t n = 0;
        while (p[n] && p[n] != ' ' && p[n] != ',')
            ++n;
        // After "Dec 7," date reads a number as the year, a short one as a
        // year of this century or the last ("Dec 7, 20 2049" is 2020, 20:49):
        // only a four-digit year there is one this check reads the same.
        if (after_comma && f.month_named && f.bares == 1 && strspn(p, "0123456789") >= n && n != 4)
            return false;
        after_comma = false;
        if (!parse_token(p, n, &f)) return false;
        ++tokens;
        p += n;
    }
    if (tokens == 0 || !place_bare_numbers(&f)) return false;

    struct tm today;
    if (localtime_r(&now, &today) == nullptr) return false;
    if (f.month < 0 && f.day < 0 && f.year < 0) {
        if (f.hour < 0 || f.weekday) return false;  // a zone or a weekday alone, or nothing
        f.year = today.tm_year + 1900;
        f.month = today.tm_mon + 1;
        f.day = today.tm_mday;
    }
    if (f.year < 0) f.year = today.tm_year + 1900;
    if (f.hour < 0) f.hour = 0;
    if (f.meridian) {
        if (f.hour < 1 || f.hour > 12) return false;
        f.hour = f.hour % 12 + (f.meridian == 2 ? 12 : 0);
    }
    if (f.month < 1 || f.month > 12 || f.day < 1 || f.day > days_in_month(f.year, f.month) ||
        f.hour > 23 || f.minute > 59 || f.second > 60)
        return false;

    const int64_t civil = days_from_civil(f.year, f.month, f.day) * 86400 + f.hour * 3600 +
                          f.minute * 60 + f.second;
    if (f.zoned) {
        *out = civil - f.offset;
        return true;
    }
    struct tm local {};
    local.tm_year = f.year - 1900;
    local.tm_mon = f.month - 1;
    local.tm_mday = f.day;
    local.tm_hour = f.hour;
    local.tm_min = f.minute;
    local.tm_sec = f.second;
    local.tm_isdst = -1;
    const time_t t = mktime(&local);
    if (t != static_cast<time_t>(-1)) {
        *out = t;
        return true;
    }
    // Beyond this time_t (a 32-bit one past 2038): the zone's offset now.
    *out = civil - today.tm_gmtoff;
    return true;
}

// The host's say on TimeSync (set_timesync_gate); null: always allowed.
const char *(*g_timesync_gate)(void) = nullptr;

// Why a TimeSync argument that passed gwproto::is_date_text() may not set the clock,
// or null when it may.
const char *timesync_refusal(const char *argument, char *why, size_t size) {
    int64_t when = 0;
    if (!date_text_seconds(argument, time(nullptr), &when))
        return "the argument is not a date text this gateway can check";
    const int64_t floor = build_time();
    if (when < floor) {
        const time_t t = static_cast<time_t>(floor);
        struct tm utc {};
        gmtime_r(&t, &utc);
        snprintf(why, size,
                 "the argument names a time before this program was built (%04d%02d%02d "
                 "%02d:%02d:%02d UTC)",
                 utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                 utc.tm_sec);
        return why;
    }
    if (g_timesync_gate) return g_timesync_gate();
    return nullptr;
}

void log_request_mac(const char *prefix, const uint8_t *mac) {
    // The update datagram's lines carry a blank after "REQ:", the command
    // datagram's do not; callers pass the prefix.
    DPRINTF(32, "%smac_addr[0] = %02X, mac_addr[1] = %02X, mac_addr[2] = %02X\n", prefix, mac[0],
            mac[1], mac[2]);
    DPRINTF(32, "%smac_addr[3] = %02X, mac_addr[4] = %02X, mac_addr[5] = %02X\n", prefix, mac[3],
            mac[4], mac[5]);
}

bool mac_matches(const uint8_t *mac, const EqpConfig *eqp) {
    for (size_t i = 0; i < kMacSize; ++i) {
        if (mac[i] != eqp->mac[i]) return false;
    }
    return true;
}

void handle_command(int fd, const uint8_t *work, ssize_t len, uint8_t *cmdline, size_t cmdline_size,
                    uint8_t *block, const sockaddr_in &from, socklen_t fromlen,
                    const EqpConfig *eqp) {
    DPRINTF(32, "MESSAGE_COMMAND_LEN(%d)\n", static_cast<int>(len));
    const Service service = read_service(work + kServiceIpOffset);
    DPRINTF(32, "service_port = %08X, service_port = %d, service_type = %d\n", service.ip,
            service.port, service.type);
    log_request_mac("REQ:", work + kCommandMacOffset);
    if (!mac_matches(work + kCommandMacOffset, eqp)) return;

    char command[kCommandTextField + 1];
    copy_field(command, work + kCommandTextOffset, kCommandTextField);

    if (strcmp(command, kCommandReboot) == 0) DPRINTF(32, "Reboot Command Received.\n");

    if (strcmp(command, kCommandTimeSync) == 0) {
        DPRINTF(32, "TimeSync Command Received.\n");
        char argument[kArgumentField + 1];
        copy_field(argument, work + kArgumentOffset, kArgumentField);
        char why[160];
        if (!is_date_text(argument)) {
            DPRINTF(32,
                    "[TimeSync]refused: the argument holds a character that no date text "
                    "needs; nothing was run\n");
        } else if (const char *refusal = timesync_refusal(argument, why, sizeof why)) {
            DPRINTF(32, "[TimeSync]refused: %.200s; nothing was run\n", refusal);
        } else {
            char *line = reinterpret_cast<char *>(cmdline);
            snprintf(line, cmdline_size, "sudo date -s \"%s\" > /dev/null", argument);
            DPRINTF(32, "[TimeSync]%s\n", line);
            // The clock command's exit status is not examined.
            (void)!system(line);
        }
    }

    if (strcmp(command, kCommandClear) == 0) {
        DPRINTF(32, "ClearBuf Command Received.\n");
        memset(block, 0, SERVER_ACK_MSG_LEN);
        block[0] = REPLY_MARKER;
        memcpy(block + kReplyMacOffset, eqp->mac, kMacSize);
        memcpy(block + kAckTextOffset, kAckText, sizeof kAckText);
        const ssize_t sent = sendto(fd, block, SERVER_ACK_MSG_LEN, 0,
                                    reinterpret_cast<const sockaddr *>(&from), fromlen);
        DPRINTF(32, "server_ack_msg size = %d(actual = %d)\n", SERVER_ACK_MSG_LEN,
                static_cast<int>(sent));
    } else {
        char shown[4 * kCommandTextField + 1];
        escape_text(command, shown);
        DPRINTF(32, "%s, len = %d\n", shown, static_cast<int>(strlen(command)));
    }
}

void handle_update(const uint8_t *work, ssize_t len, uint8_t *block, const EqpConfig *eqp) {
    DPRINTF(32, "UPDATE_COMMAND_LEN(%d)\n", static_cast<int>(len));
    log_request_mac("REQ: ", work + kUpdateMacOffset);
    if (!mac_matches(work + kUpdateMacOffset, eqp)) return;
    DPRINTF(32, "UPDATE_PAYLOAD_SIZE(%d)\n", UPDATE_PAYLOAD_SIZE);
    memcpy(block, work + kUpdateBlockOffset, UPDATE_PAYLOAD_SIZE);
    setDeviceConfig(block);
    DPRINTF(32, "upate OK\n");
}

void handle_search(int fd, const uint8_t *work, const sockaddr_in &from, socklen_t fromlen,
                   const EqpConfig *eqp) {
    if (memcmp(work, SEARCH_MAGIC, SEARCH_MAGIC_LEN) != 0) return;
    // A discovery request is 24 bytes long; these fields lie past its end
    // and read as zero from the cleared working copy.
    const Service service = read_service(work + kSearchServiceOffset);
    DPRINTF(32, "service_ip = %08X, service_port = %d, service_type = %d\n", service.ip,
            service.port, service.type);

    memset(search_format, 0, sizeof search_format);
    search_format[0] = REPLY_MARKER;
    memcpy(search_format + kReplyMacOffset, eqp->mac, kMacSize);
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
    if (sent == -1) DPRINTF(32, "errno = %d\n", err);
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
            handle_command(socket_fd, work, len, recvbuf, sizeof recvbuf, block, from, fromlen,
                           eqp);
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

extern "C" void set_timesync_gate(const char *(*gate)(void)) { g_timesync_gate = gate; }

extern "C" void get_current_datetime(char *datetime_text) {
    const time_t now = time(nullptr);
    // localtime, not localtime_r: it applies the zone in force now (it
    // reads TZ again, as tzset does), so a zone changed while the program
    // runs is taken into account.
    struct tm tm_now;
    if (const struct tm *broken = localtime(&now))
        tm_now = *broken;
    else
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
