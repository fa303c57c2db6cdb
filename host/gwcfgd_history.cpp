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
// wash the trail out: updates, applied or refused, are recorded one by one
// only while the budget of their source and the one of all sources last
// (a burst, then so many an hour); beyond it they are counted and one line
// says how many were skipped.
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

History::History(size_t max_bytes) : max_bytes_(max_bytes) {
    total_ = Bucket{static_cast<double>(kTotalBurst), 0};
}

bool History::take(const std::string &source, uint64_t now_ns) {
    // Every bucket refills at its rate per hour, up to its burst.
    const auto refill = [now_ns](Bucket *b, unsigned burst, unsigned per_hour) {
        if (now_ns > b->last_ns)
            b->tokens += static_cast<double>(now_ns - b->last_ns) * per_hour / 3600e9;
        if (b->tokens > burst) b->tokens = burst;
        b->last_ns = now_ns;
    };
    const std::string address = source.substr(0, source.rfind(':'));
    Source *own = nullptr;
    for (Source &s : sources_)
        if (s.address == address) own = &s;
    if (!own) {
        // A new source starts with a full bucket; when the table is full,
        // the one seen longest ago makes room (the total bucket still
        // bounds what forged sources can write).
        if (sources_.size() < kSources) {
            sources_.push_back(Source{address, Bucket{static_cast<double>(kSourceBurst), now_ns}});
            own = &sources_.back();
        } else {
            own = &sources_.front();
            for (Source &s : sources_)
                if (s.bucket.last_ns < own->bucket.last_ns) own = &s;
            *own = Source{address, Bucket{static_cast<double>(kSourceBurst), now_ns}};
        }
    }
    refill(&own->bucket, kSourceBurst, kSourcePerHour);
    refill(&total_, kTotalBurst, kTotalPerHour);
    if (own->bucket.tokens < 1.0 || total_.tokens < 1.0) return false;
    own->bucket.tokens -= 1.0;
    total_.tokens -= 1.0;
    return true;
}

void History::record(HistoryEvent event, const std::string &source, uint32_t before, uint32_t after,
                     const std::string &detail, time_t now, uint64_t now_ns) {
    // Updates from the LAN, applied or refused, share one budget per source
    // and one in all, so that no flood can rotate the record of what was
    // done out of both files; the daemon's own rollbacks are always kept.
    if (event != HistoryEvent::RolledBack && !take(source, now_ns)) {
        if (skipped_applied_ + skipped_refused_ == 0) skipped_since_ = now;
        ++(event == HistoryEvent::Applied ? skipped_applied_ : skipped_refused_);
        return;
    }
    std::string entry = skipped_line(now);
    entry += utc_text(now) + " " + source + " " + event_word(event) + " " + std::to_string(before) +
             " -> " + std::to_string(after) + " " + printable(detail) + "\n";
    if (append(entry)) skipped_applied_ = skipped_refused_ = 0;
}

void History::flush(time_t now) {
    if (skipped_applied_ + skipped_refused_ && append(skipped_line(now)))
        skipped_applied_ = skipped_refused_ = 0;
}

std::string History::skipped_line(time_t now) const {
    const uint32_t skipped = skipped_applied_ + skipped_refused_;
    if (skipped == 0) return "";
    std::string what;
    if (skipped_applied_ && skipped_refused_)
        what = std::to_string(skipped_applied_) + " applied and " +
               std::to_string(skipped_refused_) + " refused updates";
    else
        what = std::to_string(skipped) + (skipped_applied_ ? " applied" : " refused") + " update" +
               (skipped == 1 ? "" : "s");
    return utc_text(now) + " - skipped " + what + " since " + utc_text(skipped_since_) +
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
