// fpga_link against the simulated spidev: settings at open, frames and
// transfer records, burst chunking, failures and what they leave behind.

#include "sim_fixture.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// The request numbers on the wire, written out rather than taken from the
// kernel header's macros.
constexpr unsigned long kWrMode = 0x40016B01, kRdMode = 0x80016B01;
constexpr unsigned long kWrSpeed = 0x40046B04, kRdSpeed = 0x80046B04;
constexpr unsigned long kWrLsb = 0x40016B02, kRdLsb = 0x80016B02;
constexpr unsigned long kWrBits = 0x40016B03, kRdBits = 0x80016B03;
constexpr unsigned long kMessage1 = 0x40206B00, kMessage2 = 0x40406B00;

void *const kUntouched = reinterpret_cast<void *>(0x1);

uint64_t addr_of(const void *p) { return reinterpret_cast<uintptr_t>(p); }

class LinkTest : public SimTest {
protected:
    void OpenLink() {
        ASSERT_EQ(pcx_fpga_spi_open(&handle_), 0);
        ASSERT_NE(handle_, nullptr);
        ClearLog();
    }
    void TearDown() override {
        if (handle_ != nullptr) {
            EXPECT_EQ(pcx_fpga_spi_close(handle_), 0);
        }
        handle_ = nullptr;
        SimTest::TearDown();
    }
    void *handle_ = nullptr;
};

TEST_F(LinkTest, OpenAppliesTheFourSettingsInOrderAndReadsEachBack) {
    ASSERT_EQ(pcx_fpga_spi_open(&handle_), 0);
    ASSERT_EQ(sim().opens, 1) << "the module's open() did not reach the simulated device";
    ASSERT_EQ(sim().open_flags.size(), 1u);
    EXPECT_EQ(sim().open_flags[0], O_RDWR);
    ASSERT_EQ(sim().fds.size(), 1u);

    struct Expected {
        unsigned long code;
        uint32_t word_in;
    };
    const Expected expected[] = {
        {kWrMode, 0}, {kRdMode, 0}, {kWrSpeed, 8000000}, {kRdSpeed, 0},
        {kWrLsb, 0},  {kRdLsb, 0},  {kWrBits, 0},        {kRdBits, 0},
    };
    ASSERT_EQ(sim().requests.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE("request " + std::to_string(i));
        EXPECT_EQ(sim().requests[i].code, expected[i].code);
        EXPECT_EQ(sim().requests[i].word_in, expected[i].word_in);
    }
    EXPECT_EQ(sim().mode, SPI_MODE_0);
    EXPECT_EQ(sim().max_speed_hz, 8000000u);
    EXPECT_EQ(sim().lsb_first, 0);
    EXPECT_EQ(sim().bits_per_word, 8);
}

struct OpenFault {
    const char *name;
    int open_errno;
    unsigned long fail_code;
    size_t requests;  // requests issued before the open gives up
};
// Printed by name: the raw bytes gtest would show include padding.
void PrintTo(const OpenFault &p, std::ostream *os) { *os << p.name; }

class OpenFailure : public LinkTest, public ::testing::WithParamInterface<OpenFault> {};

TEST_P(OpenFailure, ReturnsMinusOneAndLeavesNothingOpenOrAllocated) {
    const OpenFault &f = GetParam();
    sim().faults.open_errno = f.open_errno;
    sim().faults.fail_request = f.fail_code;
    void *handle = kUntouched;
    EXPECT_EQ(pcx_fpga_spi_open(&handle), -1);
    EXPECT_EQ(handle, kUntouched);
    EXPECT_EQ(sim().open_flags.size(), 1u);
    EXPECT_EQ(sim().requests.size(), f.requests);
    EXPECT_TRUE(sim().fds.empty());
    // Leaked handle cells are reported by LeakSanitizer / valgrind.
}

INSTANTIATE_TEST_SUITE_P(
    Faults, OpenFailure,
    ::testing::Values(OpenFault{"DeviceMissing", ENOENT, 0, 0},
                      OpenFault{"PermissionDenied", EACCES, 0, 0},
                      OpenFault{"WrMode", 0, kWrMode, 1}, OpenFault{"RdMode", 0, kRdMode, 2},
                      OpenFault{"WrSpeed", 0, kWrSpeed, 3}, OpenFault{"RdSpeed", 0, kRdSpeed, 4},
                      OpenFault{"WrLsb", 0, kWrLsb, 5}, OpenFault{"RdLsb", 0, kRdLsb, 6},
                      OpenFault{"WrBits", 0, kWrBits, 7}, OpenFault{"RdBits", 0, kRdBits, 8}),
    [](const auto &info) {
        return std::string(info.param.name);
    });

TEST_F(LinkTest, OpenRefusesANullDestination) {
    EXPECT_EQ(pcx_fpga_spi_open(nullptr), -1);
    EXPECT_TRUE(sim().open_flags.empty());
}

TEST_F(LinkTest, CloseThatFailsStillReleasesDescriptorAndHandle) {
    void *handle = nullptr;
    ASSERT_EQ(pcx_fpga_spi_open(&handle), 0);
    sim().faults.fail_close = true;
    EXPECT_EQ(pcx_fpga_spi_close(handle), -1);
    EXPECT_TRUE(sim().fds.empty());
}

TEST_F(LinkTest, EveryOperationRefusesANullHandleWithoutTouchingTheDevice) {
    uint8_t byte = 0x5A;
    uint8_t buf[4] = {};
    const std::pair<const char *, std::function<int()>> ops[] = {
        {"close",
         [] {
             return pcx_fpga_spi_close(nullptr);
         }},
        {"w",
         [] {
             return pcx_fpga_spi_w(nullptr, SPI_SEL_FPGA, 0x03, 0x01);
         }},
        {"r",
         [&] {
             return pcx_fpga_spi_r(nullptr, SPI_SEL_FPGA, 0x03, &byte);
         }},
        {"wb",
         [&] {
             return pcx_fpga_spi_wb(nullptr, SPI_SEL_FPGA, 0x03, buf, sizeof buf);
         }},
        {"rb",
         [&] {
             return pcx_fpga_spi_rb(nullptr, SPI_SEL_FPGA, 0x03, buf, sizeof buf);
         }},
    };
    for (const auto &op : ops) {
        SCOPED_TRACE(op.first);
        EXPECT_EQ(op.second(), -1);
    }
    EXPECT_EQ(byte, 0x5A);
    EXPECT_TRUE(sim().open_flags.empty());
    EXPECT_TRUE(sim().requests.empty());
}

TEST_F(LinkTest, SingleReadRefusesANullResultPointer) {
    OpenLink();
    EXPECT_EQ(pcx_fpga_spi_r(handle_, SPI_SEL_FPGA, 0x01, nullptr), -1);
    EXPECT_TRUE(sim().requests.empty());
}

// ---- single frames ---------------------------------------------------------

struct SingleCase {
    const char *name;
    bool write;
    uint8_t selector;
    uint8_t address;
    uint8_t data;  // written, or preset in the device for a read
    Bytes frame;   // bytes clocked out
    unsigned reg;  // where the device keeps the byte
};
// Printed by name: the raw bytes gtest would show include padding.
void PrintTo(const SingleCase &p, std::ostream *os) { *os << p.name; }

class SingleFrame : public LinkTest, public ::testing::WithParamInterface<SingleCase> {
protected:
    uint8_t *DeviceByte(const SingleCase &c) {
        return (c.selector == SPI_SEL_FPGA ? sim().fpga : sim().sx1272) + c.reg;
    }
};

TEST_P(SingleFrame, SendsTheFrameInOneRecordWithTheTabledFields) {
    const SingleCase &c = GetParam();
    OpenLink();
    uint8_t result = 0;
    if (c.write) {
        ASSERT_EQ(pcx_fpga_spi_w(handle_, c.selector, c.address, c.data), 0);
        EXPECT_EQ(*DeviceByte(c), c.data);
    } else {
        *DeviceByte(c) = c.data;
        ASSERT_EQ(pcx_fpga_spi_r(handle_, c.selector, c.address, &result), 0);
        // The device drives kIdleMiso during the first two bytes: only the
        // third byte is the register.
        EXPECT_EQ(result, c.data);
    }

    ASSERT_EQ(sim().requests.size(), 1u);
    const spisim::Request &req = sim().requests[0];
    EXPECT_EQ(req.code, kMessage1);
    ASSERT_EQ(req.record_count, 1u);
    const spisim::Record &rec = sim().records[0];
    EXPECT_EQ(rec.mosi, c.frame);
    EXPECT_EQ(rec.xfer.len, 3u);
    EXPECT_NE(rec.xfer.tx_buf, 0u);
    if (c.write) {
        EXPECT_EQ(rec.xfer.rx_buf, 0u);
        EXPECT_EQ(rec.xfer.speed_hz, 8000000u);
        EXPECT_EQ(rec.xfer.bits_per_word, 8);
    } else {
        EXPECT_NE(rec.xfer.rx_buf, 0u);
        EXPECT_EQ(rec.xfer.speed_hz, 0u);
        EXPECT_EQ(rec.xfer.bits_per_word, 0);
    }
    EXPECT_EQ(rec.xfer.cs_change, 1);
    EXPECT_EQ(rec.xfer.delay_usecs, 0);
    EXPECT_EQ(rec.xfer.tx_nbits, 0);
    EXPECT_EQ(rec.xfer.rx_nbits, 0);
    EXPECT_EQ(rec.xfer.word_delay_usecs, 0);
    EXPECT_EQ(rec.xfer.pad, 0);
    EXPECT_EQ(sim().frames.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, SingleFrame,
    ::testing::Values(
        SingleCase{"WriteFpga", true, SPI_SEL_FPGA, 0x03, 0x5A, {0x01, 0x83, 0x5A}, 0x03},
        SingleCase{"WriteAddressFF", true, SPI_SEL_FPGA, 0xFF, 0x11, {0x01, 0xFF, 0x11}, 0x7F},
        SingleCase{"WriteSx1272", true, SPI_SEL_SX1272, 0x42, 0x99, {0x03, 0xC2, 0x99}, 0x42},
        SingleCase{"ReadFpga", false, SPI_SEL_FPGA, 0x05, 0x77, {0x01, 0x05, 0x00}, 0x05},
        SingleCase{"ReadAddressFF", false, SPI_SEL_FPGA, 0xFF, 0x3C, {0x01, 0x7F, 0x00}, 0x7F},
        SingleCase{"ReadSx1272", false, SPI_SEL_SX1272, 0x42, 0x22, {0x03, 0x42, 0x00}, 0x42}),
    [](const auto &info) {
        return std::string(info.param.name);
    });

struct TransferFault {
    const char *name;
    bool fail;  // the request fails; otherwise it reports one byte short
};
// Printed by name: the raw bytes gtest would show include padding.
void PrintTo(const TransferFault &p, std::ostream *os) { *os << p.name; }

class SingleFrameFault : public LinkTest, public ::testing::WithParamInterface<TransferFault> {
protected:
    void Inject() {
        if (GetParam().fail)
            sim().faults.fail_message = 0;
        else
            sim().faults.short_message = 0;
    }
};

TEST_P(SingleFrameFault, WriteReturnsMinusOne) {
    OpenLink();
    Inject();
    EXPECT_EQ(pcx_fpga_spi_w(handle_, SPI_SEL_FPGA, 0x03, 0x01), -1);
}

TEST_P(SingleFrameFault, ReadReturnsMinusOneAndLeavesTheResultUntouched) {
    OpenLink();
    sim().fpga[0x04] = 0x42;
    Inject();
    uint8_t result = 0xC3;
    EXPECT_EQ(pcx_fpga_spi_r(handle_, SPI_SEL_FPGA, 0x04, &result), -1);
    EXPECT_EQ(result, 0xC3);
}

INSTANTIATE_TEST_SUITE_P(Faults, SingleFrameFault,
                         ::testing::Values(TransferFault{"Fails", true},
                                           TransferFault{"Short", false}),
                         [](const auto &info) {
                             return std::string(info.param.name);
                         });

// ---- bursts ----------------------------------------------------------------

struct BurstCase {
    bool write;
    unsigned size;
};

void PrintTo(const BurstCase &p, std::ostream *os) {
    *os << (p.write ? "write " : "read ") << p.size;
}

std::string BurstName(const ::testing::TestParamInfo<BurstCase> &info) {
    return std::string(info.param.write ? "Write" : "Read") + std::to_string(info.param.size);
}

class Burst : public LinkTest, public ::testing::WithParamInterface<BurstCase> {};

TEST_P(Burst, ChunksOf1024RepeatTheHeaderAndUseTheCallersBufferDirectly) {
    const BurstCase &c = GetParam();
    OpenLink();
    Bytes data(c.size);
    for (unsigned i = 0; i < c.size; ++i)
        data[i] = static_cast<uint8_t>(i * 7 + 3);
    for (unsigned a = 0; a < 128; ++a)
        sim().fpga[a] = static_cast<uint8_t>(a ^ 0x5C);
    Bytes buf(c.size, 0xEE);

    const uint8_t address = 0xFF;  // bit 7 is dropped: 0x7F goes out
    const int rc = c.write ? pcx_fpga_spi_wb(handle_, SPI_SEL_FPGA, address, data.data(),
                                             static_cast<uint16_t>(c.size))
                           : pcx_fpga_spi_rb(handle_, SPI_SEL_FPGA, address, buf.data(),
                                             static_cast<uint16_t>(c.size));
    EXPECT_EQ(rc, 0);

    const Bytes header = c.write ? Bytes{0x01, 0xFF} : Bytes{0x01, 0x7F};
    const unsigned expected_messages = (c.size + 1023) / 1024;
    const auto messages = sim().message_requests();
    ASSERT_EQ(messages.size(), expected_messages);
    ASSERT_EQ(sim().requests.size(), expected_messages);
    EXPECT_EQ(sim().frames.size(), expected_messages) << "header and data share one chip select";

    for (unsigned m = 0; m < expected_messages; ++m) {
        SCOPED_TRACE("message " + std::to_string(m));
        const unsigned offset = m * 1024;
        const unsigned chunk = std::min(1024u, c.size - offset);
        EXPECT_EQ(messages[m]->code, kMessage2);
        EXPECT_EQ(messages[m]->result, static_cast<int>(2 + chunk));
        const auto recs = sim().records_of(*messages[m]);
        ASSERT_EQ(recs.size(), 2u);

        const spi_ioc_transfer &h = recs[0]->xfer;
        EXPECT_EQ(recs[0]->mosi, header);
        EXPECT_EQ(h.len, 2u);
        EXPECT_EQ(h.rx_buf, 0u);
        EXPECT_EQ(h.cs_change, 0);
        EXPECT_EQ(h.speed_hz, 0u);
        EXPECT_EQ(h.bits_per_word, 0);
        EXPECT_EQ(h.delay_usecs, 0);

        const spi_ioc_transfer &d = recs[1]->xfer;
        EXPECT_EQ(d.len, chunk);
        EXPECT_EQ(d.cs_change, 1);
        EXPECT_EQ(d.speed_hz, 0u);
        EXPECT_EQ(d.bits_per_word, 0);
        EXPECT_EQ(d.delay_usecs, 0);
        if (c.write) {
            EXPECT_EQ(d.tx_buf, addr_of(data.data() + offset));
            EXPECT_EQ(d.rx_buf, 0u);
            EXPECT_EQ(recs[1]->mosi, Bytes(data.begin() + offset, data.begin() + offset + chunk));
        } else {
            EXPECT_EQ(d.tx_buf, 0u);
            EXPECT_EQ(d.rx_buf, addr_of(buf.data() + offset));
            EXPECT_EQ(Bytes(buf.begin() + offset, buf.begin() + offset + chunk), recs[1]->miso);
            // Every chunk starts over at the same address.
            EXPECT_EQ(buf[offset], 0x7F ^ 0x5C);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, Burst,
                         ::testing::Values(BurstCase{true, 1}, BurstCase{true, 1024},
                                           BurstCase{true, 1025}, BurstCase{true, 65535},
                                           BurstCase{false, 1}, BurstCase{false, 1024},
                                           BurstCase{false, 1025}, BurstCase{false, 65535}),
                         BurstName);

TEST_F(LinkTest, BurstOfNothingOrWithoutABufferSendsNothing) {
    OpenLink();
    uint8_t buf[8] = {};
    EXPECT_EQ(pcx_fpga_spi_wb(handle_, SPI_SEL_FPGA, 0x03, buf, 0), -1);
    EXPECT_EQ(pcx_fpga_spi_rb(handle_, SPI_SEL_FPGA, 0x03, buf, 0), -1);
    EXPECT_EQ(pcx_fpga_spi_wb(handle_, SPI_SEL_FPGA, 0x03, nullptr, 8), -1);
    EXPECT_EQ(pcx_fpga_spi_rb(handle_, SPI_SEL_FPGA, 0x03, nullptr, 8), -1);
    EXPECT_TRUE(sim().requests.empty());
}

struct ChunkFault {
    const char *name;
    bool write;
    bool fail;
};
// Printed by name: the raw bytes gtest would show include padding.
void PrintTo(const ChunkFault &p, std::ostream *os) { *os << p.name; }

class BurstChunkFault : public LinkTest, public ::testing::WithParamInterface<ChunkFault> {};

TEST_P(BurstChunkFault, AFailingMiddleChunkStillSendsTheRestAndReturnsMinusOne) {
    const ChunkFault &c = GetParam();
    OpenLink();
    if (c.fail)
        sim().faults.fail_message = 1;
    else
        sim().faults.short_message = 1;
    Bytes buf(3000, 0x11);
    const int rc = c.write ? pcx_fpga_spi_wb(handle_, SPI_SEL_FPGA, 0x10, buf.data(), 3000)
                           : pcx_fpga_spi_rb(handle_, SPI_SEL_FPGA, 0x10, buf.data(), 3000);
    EXPECT_EQ(rc, -1);
    const auto messages = sim().message_requests();
    ASSERT_EQ(messages.size(), 3u);
    const unsigned lens[] = {1024, 1024, 952};
    for (unsigned m = 0; m < 3; ++m) {
        const auto recs = sim().records_of(*messages[m]);
        ASSERT_EQ(recs.size(), 2u);
        EXPECT_EQ(recs[0]->mosi, (Bytes{0x01, static_cast<uint8_t>(c.write ? 0x90 : 0x10)}));
        EXPECT_EQ(recs[1]->xfer.len, lens[m]);
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, BurstChunkFault,
                         ::testing::Values(ChunkFault{"WriteFails", true, true},
                                           ChunkFault{"WriteShort", true, false},
                                           ChunkFault{"ReadFails", false, true},
                                           ChunkFault{"ReadShort", false, false}),
                         [](const auto &info) {
                             return std::string(info.param.name);
                         });

}  // namespace
