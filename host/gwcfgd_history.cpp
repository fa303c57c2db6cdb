// gwcfgd_history.cpp - the audit trail of configuration updates.
//
// The log is a stream that journald may thin out under a flood; the
// history is a file in the state directory that keeps one line per update
// the daemon applied, refused or rolled back:
//
//   2026-12-07T09:05:03Z 192.168.1.20:40312 applied 3 -> 4 changed: gateway_conf.server_address
//   2026-12-07T09:06:10Z 192.168.1.21:40400 refused 4 -> 4 reason: it was made from revision 3 ...
//
// Bounded: when the file would grow past its limit it becomes
// kHistoryOldFile (replacing the one before) and a new file starts, so at
// most two files of the limit are kept. Crash-safe: each entry is one
// write(), synced before the call returns; a torn last line is closed
// before the next entry, and renaming the file is atomic. A flood cannot
// wash the trail out: refused updates are recorded one by one only while a
// budget lasts (kRefusedBurst, then kRefusedPerHour), beyond it they are
// counted and one line says how many were skipped.
#include "gwcfgd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace gwcfgd {
namespace {

const char *event_word(HistoryEvent e) {
    switch (e) {
        case HistoryEvent::Applied:
            return "applied";
        case HistoryEvent::Refused:
            return "refused";
        case HistoryEvent::RolledBack:
            return "rolled-back";
    }
    return "?";
}

std::string utc_text(time_t t) {
    struct tm utc {};
    gmtime_r(&t, &utc);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// text with every byte that is not printable ASCII as \xNN.
std::string printable(const std::string &text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c <= 0x7E) {
            out.push_back(static_cast<char>(c));
        } else {
            out += "\\x";
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xF]);
        }
    }
    return out;
}

void sync_directory() {
    int dir = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
}

}  // namespace

History::History(size_t max_bytes) : max_bytes_(max_bytes) { refused_budget_ = kRefusedBurst; }

void History::record(HistoryEvent event, const std::string &source, uint32_t before, uint32_t after,
                     const std::string &detail, time_t now, uint64_t now_ns) {
    if (event == HistoryEvent::Refused) {
        // The budget refills at kRefusedPerHour, up to kRefusedBurst.
        if (now_ns > budget_ns_) {
            refused_budget_ += static_cast<double>(now_ns - budget_ns_) * kRefusedPerHour / 3600e9;
            if (refused_budget_ > kRefusedBurst) refused_budget_ = kRefusedBurst;
        }
        budget_ns_ = now_ns;
        if (refused_budget_ < 1.0) {
            if (skipped_ == 0) skipped_since_ = now;
            ++skipped_;
            return;
        }
        refused_budget_ -= 1.0;
    }
    std::string entry = skipped_line(now);
    entry += utc_text(now) + " " + source + " " + event_word(event) + " " + std::to_string(before) +
             " -> " + std::to_string(after) + " " + printable(detail) + "\n";
    if (append(entry)) skipped_ = 0;
}

void History::flush(time_t now) {
    if (skipped_ && append(skipped_line(now))) skipped_ = 0;
}

std::string History::skipped_line(time_t now) const {
    if (skipped_ == 0) return "";
    return utc_text(now) + " - skipped " + std::to_string(skipped_) + " refused update" +
           (skipped_ == 1 ? "" : "s") + " since " + utc_text(skipped_since_) +
           ", too many to record each (see the daemon's log)\n";
}

bool History::append(const std::string &entry) {
    int fd = open(kHistoryFile, O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    struct stat st {};
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        fd = -1;
        errno = EINVAL;
    }
    if (fd >= 0 && st.st_size > 0 && static_cast<size_t>(st.st_size) + entry.size() > max_bytes_) {
        // Full: it becomes the old file, and the entry starts a new one.
        close(fd);
        fd = -1;
        if (rename(kHistoryFile, kHistoryOldFile) == 0)
            fd = open(kHistoryFile, O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      0644);
        st.st_size = 0;
        sync_directory();
    }
    if (fd < 0) {
        log_line("cannot write the update history %s: %s", kHistoryFile, strerror(errno));
        return false;
    }
    std::string text = entry;
    if (st.st_size > 0) {
        // A crash in the middle of the last write left part of a line:
        // close it, so this entry starts a line of its own.
        char last = '\n';
        if (pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n') text.insert(0, "\n");
    }
    const ssize_t n = write(fd, text.data(), text.size());
    const bool ok = n == static_cast<ssize_t>(text.size()) && fdatasync(fd) == 0;
    if (!ok)
        log_line("cannot write the update history %s: %s", kHistoryFile,
                 n < 0 ? strerror(errno) : "short write");
    close(fd);
    if (ok && st.st_size == 0) sync_directory();  // a new file: its name must last too
    return ok;
}

History &history() {
    static History h;
    return h;
}

}  // namespace gwcfgd
