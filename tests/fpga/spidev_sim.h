// An in-process simulated spidev for "/dev/spidev0.0".
//
// A test executable that links spidev_sim.cpp gets its own open(), open64(),
// __open_2(), __open64_2(), ioctl() and close(). For "/dev/spidev0.0" and the
// descriptors opened through it they act as the spidev driver does, with the
// concentrator's FPGA behind it; every other path and descriptor goes
// straight to the kernel. Each simulated descriptor is a real descriptor
// (of /dev/null) so it shows up in /proc/self/fd while open.
//
// The bus model: a message's records are clocked out back to back; chip
// select drops after a record with cs_change set (unless it is the last of
// the message) and at the end of the message. In each chip-select period the
// device takes byte 0 as the selector and byte 1 as the address byte (bit 7
// set for a write), then moves data to or from consecutive 7-bit addresses
// (wrapping at 0x7F). Selector 0x01 reaches the FPGA's register file,
// 0x03 the SX1272's; other selectors reach nothing and read 0x00. During the
// selector and address bytes the device drives kIdleMiso.
#pragma once

#include <linux/spi/spidev.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace spisim {

constexpr char kDevicePath[] = "/dev/spidev0.0";
constexpr uint8_t kIdleMiso = 0xA5;
// The driver's default buffer size: no single message may move more.
constexpr uint32_t kBufSiz = 4096;

// One ioctl request on a simulated descriptor, in the order issued.
struct Request {
    unsigned long code = 0;
    uint32_t word_in = 0;     // setting writes: the value taken from the argument
    uint32_t word_out = 0;    // setting reads: the value stored back
    size_t first_record = 0;  // messages: index of the first record in State::records
    size_t record_count = 0;  // messages: number of records
    int result = 0;
    bool is_message() const { return record_count > 0; }
};

// One spi_ioc_transfer record of a message, copied as the caller passed it,
// with the bytes the bus clocked out and in for it.
struct Record {
    size_t request = 0;  // index in State::requests
    spi_ioc_transfer xfer{};
    std::vector<uint8_t> mosi;  // tx_buf's bytes, zeros without a tx_buf
    std::vector<uint8_t> miso;  // what the device drove
};

// One chip-select period as the device saw it.
struct Frame {
    size_t request = 0;
    std::vector<uint8_t> mosi;
    std::vector<uint8_t> miso;
};

struct Faults {
    int open_errno = 0;              // opening the device fails with this errno
    unsigned long fail_request = 0;  // the first setting request with this code fails (EINVAL)
    long fail_message = -1;          // message k (0-based) fails with EIO and moves nothing
    long short_message = -1;         // message k moves its bytes but reports one fewer
    bool fail_close = false;         // close reports EIO (the descriptor is released anyway)
};

struct State {
    uint8_t fpga[128] = {};
    uint8_t sx1272[128] = {};
    // Device settings; the initial ones differ from what the link sets.
    uint8_t mode = SPI_MODE_3;
    uint32_t max_speed_hz = 500000;
    uint8_t lsb_first = 1;
    uint8_t bits_per_word = 16;

    Faults faults;

    std::vector<int> open_flags;  // flags of every open() of the device path
    int opens = 0;                // successful opens
    std::vector<int> fds;         // simulated descriptors now open
    std::vector<Request> requests;
    std::vector<Record> records;
    std::vector<Frame> frames;
    long messages = 0;  // message requests so far

    // The message requests, in order.
    std::vector<const Request *> message_requests() const;
    // The records of message request `r`.
    std::vector<const Record *> records_of(const Request &r) const;
};

// The simulator's state; never destroyed, so late calls at exit stay safe.
State &Sim();
// Back to a present, faultless device with reset register files (FPGA
// version 0x12 at 0x01, the table's defaults, SX1272 RegVersion 0x22 at
// 0x42) and empty logs. Descriptors still open stay open and usable.
void Reset();

}  // namespace spisim
