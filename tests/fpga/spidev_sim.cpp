// The simulated spidev: see spidev_sim.h. The system-call entry points are
// defined here with C linkage, so the module under test (linked statically
// into the same executable) calls these instead of the C library's.

// The fortified wrappers would be inline definitions of open(); this file
// defines the real symbols, so it must not see them.
#undef _FORTIFY_SOURCE
// Where off_t is 64 bits by choice (32-bit targets built with
// _FILE_OFFSET_BITS=64), <fcntl.h> renames open() to open64(); this file
// defines both names itself, so it must see them unrenamed. Nothing here
// passes an off_t or a time_t to the other translation units.
#undef _TIME_BITS
#undef _FILE_OFFSET_BITS

#include "spidev_sim.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>

namespace spisim {

State &Sim() {
    static State *state = new State;
    return *state;
}

void Reset() {
    State &s = Sim();
    std::vector<int> keep = s.fds;
    s = State();
    s.fds = keep;
    s.fpga[0x01] = 0x12;
    s.fpga[0x06] = 0x00;  // 32000 = 0x7D00, least significant byte first
    s.fpga[0x07] = 0x7D;
    s.fpga[0x08] = 0xE8;  // 1000 = 0x03E8
    s.fpga[0x09] = 0x03;
    s.sx1272[0x42] = 0x22;
}

std::vector<const Request *> State::message_requests() const {
    std::vector<const Request *> out;
    for (const Request &r : requests)
        if (r.is_message()) out.push_back(&r);
    return out;
}

std::vector<const Record *> State::records_of(const Request &r) const {
    std::vector<const Record *> out;
    for (size_t i = 0; i < r.record_count; ++i)
        out.push_back(&records[r.first_record + i]);
    return out;
}

}  // namespace spisim

namespace {

using spisim::Sim;
using spisim::State;

bool is_sim_fd(int fd) {
    const std::vector<int> &fds = Sim().fds;
    return std::find(fds.begin(), fds.end(), fd) != fds.end();
}

bool needs_mode(int flags) { return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE; }

int kernel_open(const char *path, int flags, mode_t mode) {
    return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

int fail(int err) {
    errno = err;
    return -1;
}

int sim_open(const char *path, int flags, mode_t mode) {
    if (path == nullptr || std::strcmp(path, spisim::kDevicePath) != 0)
        return kernel_open(path, flags, mode);
    State &s = Sim();
    s.open_flags.push_back(flags);
    if (s.faults.open_errno != 0) return fail(s.faults.open_errno);
    if ((flags & O_ACCMODE) != O_RDWR && (flags & O_ACCMODE) != O_RDONLY &&
        (flags & O_ACCMODE) != O_WRONLY)
        return fail(EINVAL);
    const int fd = kernel_open("/dev/null", O_RDWR | O_CLOEXEC, 0);
    if (fd < 0) return -1;
    s.fds.push_back(fd);
    ++s.opens;
    return fd;
}

// The device's response to one chip-select period.
void run_frame(State &s, spisim::Frame &f) {
    f.miso.assign(f.mosi.size(), spisim::kIdleMiso);
    if (f.mosi.size() < 2) return;
    uint8_t *regs = nullptr;
    if (f.mosi[0] == 0x01)
        regs = s.fpga;
    else if (f.mosi[0] == 0x03)
        regs = s.sx1272;
    const bool write = (f.mosi[1] & 0x80) != 0;
    const unsigned address = f.mosi[1] & 0x7F;
    for (size_t i = 2; i < f.mosi.size(); ++i) {
        const unsigned a = (address + static_cast<unsigned>(i - 2)) & 0x7F;
        if (write) {
            if (regs != nullptr) regs[a] = f.mosi[i];
        } else {
            f.miso[i] = regs != nullptr ? regs[a] : 0x00;
        }
    }
}

int sim_message(State &s, unsigned long code, void *arg) {
    const size_t size = _IOC_SIZE(code);
    spisim::Request req;
    req.code = code;
    const size_t req_index = s.requests.size();
    const long message_index = s.messages++;
    if (size % sizeof(spi_ioc_transfer) != 0) {
        req.result = -1;
        s.requests.push_back(req);
        return fail(EINVAL);
    }
    const size_t n = size / sizeof(spi_ioc_transfer);
    const spi_ioc_transfer *in = static_cast<const spi_ioc_transfer *>(arg);

    req.first_record = s.records.size();
    req.record_count = n;
    uint32_t total = 0;
    bool too_big = false;
    bool bad_word = false;
    for (size_t i = 0; i < n; ++i) {
        spisim::Record rec;
        rec.request = req_index;
        rec.xfer = in[i];
        if (in[i].len > spisim::kBufSiz) too_big = true;
        if (in[i].bits_per_word != 0 && in[i].bits_per_word != 8) bad_word = true;
        total += in[i].len;
        if (!too_big) {
            rec.mosi.assign(in[i].len, 0x00);
            if (in[i].tx_buf != 0)
                std::memcpy(rec.mosi.data(), reinterpret_cast<const void *>(in[i].tx_buf),
                            in[i].len);
        }
        s.records.push_back(rec);
    }
    if (too_big || total > spisim::kBufSiz) {
        req.result = -1;
        s.requests.push_back(req);
        return fail(EMSGSIZE);
    }
    if (bad_word || n == 0) {
        req.result = n == 0 ? 0 : -1;
        s.requests.push_back(req);
        return n == 0 ? 0 : fail(EINVAL);
    }
    if (message_index == s.faults.fail_message) {
        req.result = -1;
        s.requests.push_back(req);
        return fail(EIO);
    }

    // Cut the message into chip-select periods and run each.
    spisim::Frame frame;
    frame.request = req_index;
    std::vector<std::pair<size_t, size_t>> spans;  // per record: frame index, offset
    for (size_t i = 0; i < n; ++i) {
        spisim::Record &rec = s.records[req.first_record + i];
        spans.emplace_back(s.frames.size(), frame.mosi.size());
        frame.mosi.insert(frame.mosi.end(), rec.mosi.begin(), rec.mosi.end());
        if (rec.xfer.cs_change != 0 || i + 1 == n) {
            run_frame(s, frame);
            s.frames.push_back(frame);
            frame = spisim::Frame();
            frame.request = req_index;
        }
    }
    for (size_t i = 0; i < n; ++i) {
        spisim::Record &rec = s.records[req.first_record + i];
        const spisim::Frame &f = s.frames[spans[i].first];
        rec.miso.assign(f.miso.begin() + static_cast<long>(spans[i].second),
                        f.miso.begin() + static_cast<long>(spans[i].second + rec.mosi.size()));
        if (rec.xfer.rx_buf != 0 && !rec.miso.empty())
            std::memcpy(reinterpret_cast<void *>(rec.xfer.rx_buf), rec.miso.data(),
                        rec.miso.size());
    }

    req.result = static_cast<int>(total);
    if (message_index == s.faults.short_message) req.result -= 1;
    s.requests.push_back(req);
    return req.result;
}

int sim_ioctl(int fd, unsigned long code, void *arg) {
    (void)fd;
    State &s = Sim();
    spisim::Request req;
    req.code = code;
    if (s.faults.fail_request != 0 && code == s.faults.fail_request) {
        s.faults.fail_request = 0;
        req.result = -1;
        s.requests.push_back(req);
        return fail(EINVAL);
    }
    uint8_t *u8 = static_cast<uint8_t *>(arg);
    uint32_t *u32 = static_cast<uint32_t *>(arg);
    switch (code) {
        case SPI_IOC_WR_MODE:
            req.word_in = *u8;
            s.mode = *u8;
            break;
        case SPI_IOC_RD_MODE:
            *u8 = s.mode;
            req.word_out = s.mode;
            break;
        case SPI_IOC_WR_MAX_SPEED_HZ:
            req.word_in = *u32;
            s.max_speed_hz = *u32;
            break;
        case SPI_IOC_RD_MAX_SPEED_HZ:
            *u32 = s.max_speed_hz;
            req.word_out = s.max_speed_hz;
            break;
        case SPI_IOC_WR_LSB_FIRST:
            req.word_in = *u8;
            s.lsb_first = *u8 ? 1 : 0;
            break;
        case SPI_IOC_RD_LSB_FIRST:
            *u8 = s.lsb_first;
            req.word_out = s.lsb_first;
            break;
        case SPI_IOC_WR_BITS_PER_WORD:
            req.word_in = *u8;
            if (*u8 != 0 && *u8 != 8) {
                req.result = -1;
                s.requests.push_back(req);
                return fail(EINVAL);
            }
            s.bits_per_word = *u8 == 0 ? 8 : *u8;  // 0 means 8
            break;
        case SPI_IOC_RD_BITS_PER_WORD:
            *u8 = s.bits_per_word;
            req.word_out = s.bits_per_word;
            break;
        default:
            if (_IOC_TYPE(code) == SPI_IOC_MAGIC && _IOC_NR(code) == 0 &&
                _IOC_DIR(code) == _IOC_WRITE)
                return sim_message(s, code, arg);
            req.result = -1;
            s.requests.push_back(req);
            return fail(ENOTTY);
    }
    s.requests.push_back(req);
    return 0;
}

}  // namespace

extern "C" {

int open(const char *path, int flags, ...) {
    mode_t mode = 0;
    if (needs_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    return sim_open(path, flags, mode);
}

int open64(const char *path, int flags, ...) {
    mode_t mode = 0;
    if (needs_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    return sim_open(path, flags, mode);
}

// What open() becomes under _FORTIFY_SOURCE when the flags are not known at
// compile time.
int __open_2(const char *path, int flags) { return sim_open(path, flags, 0); }
int __open64_2(const char *path, int flags) { return sim_open(path, flags, 0); }

int ioctl(int fd, unsigned long request, ...) __THROW {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (is_sim_fd(fd)) return sim_ioctl(fd, request, arg);
    return static_cast<int>(syscall(SYS_ioctl, fd, request, arg));
}

#if defined(__GLIBC__) && __TIMESIZE == 32
// Where time_t is 64 bits by choice (32-bit targets built with
// _TIME_BITS=64), <sys/ioctl.h> renames ioctl() to __ioctl_time64(), the
// entry that converts the time-carrying requests; the spidev requests carry
// none, so it is the same call.
int __ioctl_time64(int fd, unsigned long request, ...) __THROW {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (is_sim_fd(fd)) return sim_ioctl(fd, request, arg);
    return static_cast<int>(syscall(SYS_ioctl, fd, request, arg));
}
#endif

int close(int fd) {
    if (is_sim_fd(fd)) {
        State &s = Sim();
        s.fds.erase(std::find(s.fds.begin(), s.fds.end(), fd));
        syscall(SYS_close, fd);  // Linux releases the descriptor even when close reports an error
        if (s.faults.fail_close) return fail(EIO);
        return 0;
    }
    return static_cast<int>(syscall(SYS_close, fd));
}

}  // extern "C"
