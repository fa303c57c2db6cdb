// fpga_link: the spidev link to the concentrator FPGA. Opens and configures
// "/dev/spidev0.0" and frames single and burst transfers. Keeps no state of
// its own; the caller holds the handle.

#include "fpga.h"

#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

namespace {

const char kSpiDevice[] = "/dev/spidev0.0";

// The request numbers the FPGA board's kernel takes; the frames below are
// built against exactly these.
static_assert(SPI_IOC_WR_MODE == 0x40016B01u, "SPI_IOC_WR_MODE");
static_assert(SPI_IOC_RD_MODE == 0x80016B01u, "SPI_IOC_RD_MODE");
static_assert(SPI_IOC_WR_MAX_SPEED_HZ == 0x40046B04u, "SPI_IOC_WR_MAX_SPEED_HZ");
static_assert(SPI_IOC_RD_MAX_SPEED_HZ == 0x80046B04u, "SPI_IOC_RD_MAX_SPEED_HZ");
static_assert(SPI_IOC_WR_LSB_FIRST == 0x40016B02u, "SPI_IOC_WR_LSB_FIRST");
static_assert(SPI_IOC_RD_LSB_FIRST == 0x80016B02u, "SPI_IOC_RD_LSB_FIRST");
static_assert(SPI_IOC_WR_BITS_PER_WORD == 0x40016B03u, "SPI_IOC_WR_BITS_PER_WORD");
static_assert(SPI_IOC_RD_BITS_PER_WORD == 0x80016B03u, "SPI_IOC_RD_BITS_PER_WORD");
static_assert(SPI_IOC_MESSAGE(1) == 0x40206B00u, "SPI_IOC_MESSAGE(1)");
static_assert(SPI_IOC_MESSAGE(2) == 0x40406B00u, "SPI_IOC_MESSAGE(2)");
static_assert(sizeof(spi_ioc_transfer) == 32, "spi_ioc_transfer layout");

const uint8_t kWriteBit = 0x80;
const uint8_t kAddressMask = 0x7F;
const unsigned kHeaderLen = 2;

// Writes `value` with the write request, then reads the setting back into
// the same word. Only the two results count; the value read is not compared.
int apply_setting(int fd, unsigned long wr, unsigned long rd, uint32_t value) {
    uint32_t word = value;
    if (ioctl(fd, wr, &word) < 0) return -1;
    if (ioctl(fd, rd, &word) < 0) return -1;
    return 0;
}

int configure(int fd) {
    if (apply_setting(fd, SPI_IOC_WR_MODE, SPI_IOC_RD_MODE, SPI_MODE_0) < 0) return -1;
    if (apply_setting(fd, SPI_IOC_WR_MAX_SPEED_HZ, SPI_IOC_RD_MAX_SPEED_HZ, SPI_SPEED_HZ) < 0)
        return -1;
    if (apply_setting(fd, SPI_IOC_WR_LSB_FIRST, SPI_IOC_RD_LSB_FIRST, 0) < 0) return -1;
    // 0 bits per word is taken by spidev as 8.
    if (apply_setting(fd, SPI_IOC_WR_BITS_PER_WORD, SPI_IOC_RD_BITS_PER_WORD, 0) < 0) return -1;
    return 0;
}

int handle_fd(void *handle) { return *static_cast<int *>(handle); }

uint64_t buf_addr(const void *p) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p)); }

// Burst in either direction: exactly one of `tx` and `rx` is set. Each chunk
// of at most SPI_BURST_CHUNK bytes is one message of two records (header,
// then the data straight from or into the caller's buffer) within one
// chip-select period. Every chunk repeats the same header; a failed chunk
// does not stop the ones after it.
int burst(void *handle, uint8_t selector, uint8_t header_address, const uint8_t *tx, uint8_t *rx,
          uint16_t size) {
    if (size == 0 || (tx == nullptr && rx == nullptr) || handle == nullptr) return -1;
    const int fd = handle_fd(handle);

    const uint8_t header[kHeaderLen] = {selector, header_address};
    spi_ioc_transfer xfer[2] = {};
    xfer[0].tx_buf = buf_addr(header);
    xfer[0].len = kHeaderLen;
    xfer[0].cs_change = 0;  // keep chip select through the data
    xfer[1].cs_change = 1;

    long remaining = size;
    unsigned long offset = 0;
    long total = 0;
    do {
        const unsigned chunk = remaining < SPI_BURST_CHUNK ? static_cast<unsigned>(remaining)
                                                           : SPI_BURST_CHUNK;
        if (tx != nullptr)
            xfer[1].tx_buf = buf_addr(tx + offset);
        else
            xfer[1].rx_buf = buf_addr(rx + offset);
        xfer[1].len = chunk;
        const int moved = ioctl(fd, SPI_IOC_MESSAGE(2), xfer);
        total += moved - static_cast<long>(kHeaderLen);
        remaining -= chunk;
        offset += SPI_BURST_CHUNK;
    } while (remaining > 0);

    return total == size ? 0 : -1;
}

}  // namespace

extern "C" {

int pcx_fpga_spi_open(void **handle) {
    if (handle == nullptr) return -1;
    int *cell = static_cast<int *>(std::malloc(sizeof(int)));
    if (cell == nullptr) return -1;
    const int fd = open(kSpiDevice, O_RDWR);
    if (fd < 0) {
        std::free(cell);
        return -1;
    }
    if (configure(fd) < 0) {
        close(fd);
        std::free(cell);
        return -1;
    }
    *cell = fd;
    *handle = cell;
    return 0;
}

int pcx_fpga_spi_close(void *handle) {
    if (handle == nullptr) return -1;
    const int rc = close(handle_fd(handle));
    std::free(handle);
    return rc == 0 ? 0 : -1;
}

int pcx_fpga_spi_w(void *handle, uint8_t selector, uint8_t address, uint8_t data) {
    if (handle == nullptr) return -1;
    const uint8_t frame[3] = {selector, static_cast<uint8_t>(kWriteBit | (address & kAddressMask)),
                              data};
    spi_ioc_transfer xfer = {};
    xfer.tx_buf = buf_addr(frame);
    xfer.len = sizeof frame;
    xfer.speed_hz = SPI_SPEED_HZ;
    xfer.bits_per_word = 8;
    xfer.cs_change = 1;
    return ioctl(handle_fd(handle), SPI_IOC_MESSAGE(1), &xfer) == static_cast<int>(sizeof frame)
               ? 0
               : -1;
}

int pcx_fpga_spi_r(void *handle, uint8_t selector, uint8_t address, uint8_t *data) {
    if (handle == nullptr || data == nullptr) return -1;
    const uint8_t frame[3] = {selector, static_cast<uint8_t>(address & kAddressMask), 0x00};
    uint8_t in[3] = {0, 0, 0};
    spi_ioc_transfer xfer = {};
    xfer.tx_buf = buf_addr(frame);
    xfer.rx_buf = buf_addr(in);
    xfer.len = sizeof frame;
    xfer.cs_change = 1;  // speed and word size: the device's settings
    if (ioctl(handle_fd(handle), SPI_IOC_MESSAGE(1), &xfer) != static_cast<int>(sizeof frame))
        return -1;
    *data = in[2];
    return 0;
}

int pcx_fpga_spi_wb(void *handle, uint8_t selector, uint8_t address, const uint8_t *data,
                    uint16_t size) {
    return burst(handle, selector, static_cast<uint8_t>(kWriteBit | (address & kAddressMask)), data,
                 nullptr, size);
}

int pcx_fpga_spi_rb(void *handle, uint8_t selector, uint8_t address, uint8_t *data, uint16_t size) {
    return burst(handle, selector, static_cast<uint8_t>(address & kAddressMask), nullptr, data,
                 size);
}

}  // extern "C"
