// gwcfgd_log.cpp - the daemon's log: one line per event on stderr, each
// starting with "gwcfgd: ", written through a full buffer that is flushed
// between datagrams (see LogFlusher in gwcfgd.h).
#include "gwcfgd.h"

#include <stdio_ext.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace gwcfgd {

void log_line(const char *format, ...) {
    char text[1024];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    // Texts may carry bytes from the network or from files: what is not
    // printable ASCII is shown as \xNN, so no text can end the line early
    // or reach a terminal as a control sequence.
    static const char kHex[] = "0123456789ABCDEF";
    char line[1024];
    size_t len = static_cast<size_t>(snprintf(line, sizeof line, "gwcfgd: "));
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        const bool plain = *p >= 0x20 && *p <= 0x7E;
        if (len + (plain ? 1 : 4) > sizeof line - 1) break;
        if (plain) {
            line[len++] = static_cast<char>(*p);
        } else {
            line[len++] = '\\';
            line[len++] = 'x';
            line[len++] = kHex[*p >> 4];
            line[len++] = kHex[*p & 0xF];
        }
    }
    line[len++] = '\n';
    fwrite(line, 1, len, stderr);
}

void buffer_logs() {
    static char err_buf[64 * 1024];
    static char out_buf[16 * 1024];
    setvbuf(stderr, err_buf, _IOFBF, sizeof err_buf);
    setvbuf(stdout, out_buf, _IOFBF, sizeof out_buf);
}

bool LogFlusher::pending() const { return __fpending(stderr) > 0 || __fpending(stdout) > 0; }

void LogFlusher::tick(uint64_t now_ns) {
    if (!pending()) {
        waiting_ = false;
        return;
    }
    if (!waiting_) {
        waiting_ = true;
        since_ns_ = now_ns;
    }
    if (now_ns - since_ns_ >= kIntervalNs) {
        fflush(stdout);
        fflush(stderr);
        waiting_ = false;
    }
}

int LogFlusher::poll_timeout_ms(uint64_t now_ns, int idle_ms) const {
    if (!waiting_) return idle_ms;
    const uint64_t due = since_ns_ + kIntervalNs;
    if (now_ns >= due) return 0;
    const uint64_t ms = (due - now_ns + 999999) / 1000000;
    return ms < static_cast<uint64_t>(idle_ms) ? static_cast<int>(ms) : idle_ms;
}

}  // namespace gwcfgd
