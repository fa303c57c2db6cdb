// fpga_regmap against the simulated spidev: the table, connect and its
// version check, register access by index, refusals, the read-modify-write,
// wide fields, bursts and the SX1272 pass-through.

#include "sim_fixture.h"

#include <climits>
#include <cstddef>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

extern "C" int fpga_header_c_sizeof_desc(void);
extern "C" int fpga_header_c_offsetof_default(void);

namespace {

using Bytes = std::vector<uint8_t>;

class RegTest : public SimTest {
protected:
    void Connect() {
        ASSERT_EQ(pcx_fpga_connect(), 0);
        ClearLog();
    }
    void Disconnect() { EXPECT_EQ(pcx_fpga_disconnect(), 0); }
};

// ---- the table ---------------------------------------------------------------

TEST(RegTable, MatchesTheFpgaDesign) {
    struct Row {
        unsigned index;
        uint8_t address;
        uint8_t bits;
        bool read_only;
        int32_t reset;
    };
    const Row rows[] = {
        {FPGA_REG_0x00, 0x00, 1, false, 0},      {FPGA_REG_VERSION, 0x01, 8, true, 0x12},
        {FPGA_REG_0x02, 0x02, 8, true, 0},       {FPGA_REG_0x03, 0x03, 8, false, 0},
        {FPGA_REG_0x04, 0x04, 8, false, 0},      {FPGA_REG_0x05, 0x05, 8, true, 0},
        {FPGA_REG_0x06, 0x06, 16, false, 32000}, {FPGA_REG_0x08, 0x08, 16, false, 1000},
        {FPGA_REG_0x0A, 0x0A, 32, true, 0},      {FPGA_REG_0x7F, 0x7F, 8, false, 0},
    };
    ASSERT_EQ(FPGA_REG_COUNT, 10);
    ASSERT_EQ(std::size(rows), static_cast<size_t>(FPGA_REG_COUNT));
    for (unsigned i = 0; i < FPGA_REG_COUNT; ++i) {
        SCOPED_TRACE("index " + std::to_string(i));
        const FpgaRegDesc &r = fpga_regs[i];
        EXPECT_EQ(rows[i].index, i);
        EXPECT_EQ(r.page, -1);
        EXPECT_EQ(r.address, rows[i].address);
        EXPECT_EQ(r.bit_offset, 0);
        EXPECT_FALSE(r.is_signed);
        EXPECT_EQ(r.bit_length, rows[i].bits);
        EXPECT_EQ(r.read_only, rows[i].read_only);
        EXPECT_EQ(r.default_value, rows[i].reset);
    }
    EXPECT_EQ(FPGA_EXPECTED_VERSION, fpga_regs[FPGA_REG_VERSION].default_value);
    EXPECT_EQ(SPI_SEL_FPGA, 0x01);
    EXPECT_EQ(SPI_SEL_SX1272, 0x03);
    EXPECT_EQ(SPI_SPEED_HZ, 8000000);
    EXPECT_EQ(SPI_BURST_CHUNK, 1024);
}

TEST(RegTable, DescriptorLayoutIsTheSameInCAndCxx) {
    EXPECT_EQ(offsetof(FpgaRegDesc, page), 0u);
    EXPECT_EQ(offsetof(FpgaRegDesc, address), 1u);
    EXPECT_EQ(offsetof(FpgaRegDesc, bit_offset), 2u);
    EXPECT_EQ(offsetof(FpgaRegDesc, is_signed), 3u);
    EXPECT_EQ(offsetof(FpgaRegDesc, bit_length), 4u);
    EXPECT_EQ(offsetof(FpgaRegDesc, read_only), 5u);
    EXPECT_EQ(offsetof(FpgaRegDesc, default_value), 8u);
    EXPECT_EQ(fpga_header_c_sizeof_desc(), static_cast<int>(sizeof(FpgaRegDesc)));
    EXPECT_EQ(fpga_header_c_offsetof_default(),
              static_cast<int>(offsetof(FpgaRegDesc, default_value)));
}

// ---- connect and disconnect ---------------------------------------------------

struct ConnectCase {
    const char *name;
    uint8_t version;
    int open_errno;  // the device cannot be opened
    bool fail_read;  // the version read fails
    int rc;
    bool link_open_after;  // spi_target set and the descriptor open
};
// Printed by name: the raw bytes gtest would show include padding.
void PrintTo(const ConnectCase &p, std::ostream *os) { *os << p.name; }

class Connect : public RegTest, public ::testing::WithParamInterface<ConnectCase> {};

TEST_P(Connect, ChecksTheVersionAndKeepsTheLinkWhenItOpened) {
    const ConnectCase &c = GetParam();
    sim().fpga[0x01] = c.version;
    sim().faults.open_errno = c.open_errno;
    if (c.fail_read) sim().faults.fail_message = 0;
    EXPECT_EQ(pcx_fpga_connect(), c.rc);
    if (c.link_open_after) {
        EXPECT_NE(spi_target, nullptr);
        EXPECT_EQ(sim().fds.size(), 1u);
        const auto msgs = sim().message_requests();
        ASSERT_EQ(msgs.size(), 1u);
        EXPECT_EQ(sim().records_of(*msgs[0])[0]->mosi, (Bytes{0x01, 0x01, 0x00}));
        EXPECT_EQ(pcx_fpga_disconnect(), 0);
    }
    EXPECT_EQ(spi_target, nullptr);
    EXPECT_TRUE(sim().fds.empty());
}

INSTANTIATE_TEST_SUITE_P(Versions, Connect,
                         ::testing::Values(ConnectCase{"Version12", 0x12, 0, false, 0, true},
                                           ConnectCase{"Version11", 0x11, 0, false, -1, true},
                                           ConnectCase{"VersionReadFails", 0x12, 0, true, -1, true},
                                           ConnectCase{"NoDevice", 0x12, ENOENT, false, -1, false}),
                         [](const auto &info) {
                             return std::string(info.param.name);
                         });

TEST_F(RegTest, ConnectWhileConnectedReplacesTheLink) {
    ASSERT_EQ(pcx_fpga_connect(), 0);
    ASSERT_EQ(pcx_fpga_connect(), 0);
    EXPECT_EQ(sim().opens, 2);
    EXPECT_EQ(sim().fds.size(), 1u) << "the first link was not closed";
    Disconnect();
}

TEST_F(RegTest, DisconnectWithoutALinkFails) {
    EXPECT_EQ(pcx_fpga_disconnect(), -1);
    ASSERT_EQ(pcx_fpga_connect(), 0);
    Disconnect();
    EXPECT_EQ(pcx_fpga_disconnect(), -1);
}

// ---- refusals -------------------------------------------------------------------

// Every access function, with an index where it takes one.
std::vector<std::pair<std::string, std::function<int(unsigned)>>> IndexedOps() {
    static uint8_t buf[4];
    static int32_t value;
    return {
        {"reg_w",
         [](unsigned i) {
             return pcx_fpga_reg_w(i, 1);
         }},
        {"reg_r",
         [](unsigned i) {
             return pcx_fpga_reg_r(i, &value);
         }},
        {"reg_wb",
         [](unsigned i) {
             return pcx_fpga_reg_wb(i, buf, sizeof buf);
         }},
        {"reg_rb",
         [](unsigned i) {
             return pcx_fpga_reg_rb(i, buf, sizeof buf);
         }},
    };
}

TEST_F(RegTest, WithoutALinkEveryAccessFails) {
    uint8_t byte = 0;
    for (const auto &op : IndexedOps()) {
        SCOPED_TRACE(op.first);
        EXPECT_EQ(op.second(FPGA_REG_0x03), -1);
    }
    EXPECT_EQ(pcx_sx1272_reg_w(0x01, 0x80), -1);
    EXPECT_EQ(pcx_sx1272_reg_r(0x42, &byte), -1);
    EXPECT_TRUE(sim().open_flags.empty());
    EXPECT_TRUE(sim().requests.empty());
}

TEST_F(RegTest, IndexOutOfTheTableIsRefusedWithoutATransfer) {
    Connect();
    for (unsigned index : {10u, 11u, 255u, UINT_MAX}) {
        for (const auto &op : IndexedOps()) {
            SCOPED_TRACE(op.first + " index " + std::to_string(index));
            EXPECT_EQ(op.second(index), -1);
        }
    }
    EXPECT_TRUE(sim().requests.empty());
    Disconnect();
}

TEST_F(RegTest, NullPointersAndEmptyBurstsAreRefusedWithoutATransfer) {
    Connect();
    uint8_t buf[2] = {};
    EXPECT_EQ(pcx_fpga_reg_r(FPGA_REG_0x03, nullptr), -1);
    EXPECT_EQ(pcx_fpga_reg_wb(FPGA_REG_0x03, nullptr, 2), -1);
    EXPECT_EQ(pcx_fpga_reg_rb(FPGA_REG_0x03, nullptr, 2), -1);
    EXPECT_EQ(pcx_fpga_reg_wb(FPGA_REG_0x03, buf, 0), -1);
    EXPECT_EQ(pcx_fpga_reg_rb(FPGA_REG_0x03, buf, 0), -1);
    EXPECT_EQ(pcx_sx1272_reg_r(0x42, nullptr), -1);
    EXPECT_TRUE(sim().requests.empty());
    Disconnect();
}

class ReadOnly : public RegTest, public ::testing::WithParamInterface<unsigned> {};

TEST_P(ReadOnly, WritesAreRefusedWithoutATransferAndReadsWork) {
    const unsigned reg = GetParam();
    Connect();
    const uint8_t bytes[4] = {1, 2, 3, 4};
    EXPECT_EQ(pcx_fpga_reg_w(reg, 0), -1);
    EXPECT_EQ(pcx_fpga_reg_wb(reg, bytes, sizeof bytes), -1);
    EXPECT_TRUE(sim().requests.empty());

    int32_t value = -7;
    EXPECT_EQ(pcx_fpga_reg_r(reg, &value), 0);
    uint8_t buf[4] = {};
    EXPECT_EQ(pcx_fpga_reg_rb(reg, buf, sizeof buf), 0);
    EXPECT_EQ(sim().message_requests().size(), 2u);
    Disconnect();
}

INSTANTIATE_TEST_SUITE_P(Registers, ReadOnly,
                         ::testing::Values(FPGA_REG_VERSION, FPGA_REG_0x02, FPGA_REG_0x05,
                                           FPGA_REG_0x0A));

// ---- writes ---------------------------------------------------------------------

struct WriteCase {
    const char *name;
    unsigned reg;
    Bytes before;  // device bytes at the register's address beforehand
    int32_t value;
    std::vector<Bytes> frames;  // bytes clocked out, one entry per chip-select period
    Bytes after;                // device bytes afterwards
};
// Printed by name: the raw bytes gtest would show include padding.
void PrintTo(const WriteCase &p, std::ostream *os) { *os << p.name; }

class Write : public RegTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(Write, SendsTheFieldAndLeavesTheRestOfTheByte) {
    const WriteCase &c = GetParam();
    const uint8_t a = fpga_regs[c.reg].address;
    for (size_t i = 0; i < c.before.size(); ++i)
        sim().fpga[a + i] = c.before[i];
    Connect();
    EXPECT_EQ(pcx_fpga_reg_w(c.reg, c.value), 0);
    EXPECT_EQ(FramesOut(), c.frames);
    EXPECT_EQ(Bytes(sim().fpga + a, sim().fpga + a + c.after.size()), c.after);
    Disconnect();
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, Write,
    ::testing::Values(
        // One bit: read the byte, set or clear bit 0 only, write it back.
        WriteCase{
            "Bit0Set", FPGA_REG_0x00, {0xA4}, 3, {{0x01, 0x00, 0x00}, {0x01, 0x80, 0xA5}}, {0xA5}},
        WriteCase{"Bit0Clear",
                  FPGA_REG_0x00,
                  {0xFF},
                  2,
                  {{0x01, 0x00, 0x00}, {0x01, 0x80, 0xFE}},
                  {0xFE}},
        // Whole bytes: one frame with the value's low 8 bits.
        WriteCase{"Byte", FPGA_REG_0x03, {0x00}, 0x1FF, {{0x01, 0x83, 0xFF}}, {0xFF}},
        WriteCase{"ByteNegative", FPGA_REG_0x04, {0x00}, -2, {{0x01, 0x84, 0xFE}}, {0xFE}},
        WriteCase{"ByteAt7F", FPGA_REG_0x7F, {0x00}, 0x12, {{0x01, 0xFF, 0x12}}, {0x12}},
        // 16 bits: one burst, least significant byte first, low 16 bits only.
        WriteCase{"Wide06",
                  FPGA_REG_0x06,
                  {0, 0, 0x77},
                  0x12345,
                  {{0x01, 0x86, 0x45, 0x23}},
                  {0x45, 0x23, 0x77}},
        WriteCase{"Wide08", FPGA_REG_0x08, {0, 0}, -2, {{0x01, 0x88, 0xFE, 0xFF}}, {0xFE, 0xFF}}),
    [](const auto &info) {
        return std::string(info.param.name);
    });

struct RmwFault {
    const char *name;
    long fail_message;
    long short_message;
    size_t messages;  // messages issued
};
// Printed by name: the raw bytes gtest would show include padding.
void PrintTo(const RmwFault &p, std::ostream *os) { *os << p.name; }

class RmwFailure : public RegTest, public ::testing::WithParamInterface<RmwFault> {};

// A read-modify-write whose read fails must write nothing: writing back a
// byte built on zeros would clear the register's other bits on the hardware.
TEST_P(RmwFailure, ReturnsMinusOneAndNeverWritesAGuessedByte) {
    const RmwFault &c = GetParam();
    sim().fpga[0x00] = 0xA4;
    Connect();
    sim().faults.fail_message = c.fail_message;
    sim().faults.short_message = c.short_message;
    EXPECT_EQ(pcx_fpga_reg_w(FPGA_REG_0x00, 1), -1);
    const auto msgs = sim().message_requests();
    ASSERT_EQ(msgs.size(), c.messages);
    EXPECT_EQ(sim().records_of(*msgs[0])[0]->mosi, (Bytes{0x01, 0x00, 0x00}));
    if (c.messages == 1) {
        EXPECT_EQ(sim().fpga[0x00], 0xA4);
    }
    Disconnect();
}

INSTANTIATE_TEST_SUITE_P(Faults, RmwFailure,
                         ::testing::Values(RmwFault{"ReadFails", 0, -1, 1},
                                           RmwFault{"ReadShort", -1, 0, 1},
                                           RmwFault{"WriteFails", 1, -1, 2}),
                         [](const auto &info) {
                             return std::string(info.param.name);
                         });

TEST_F(RegTest, WideWriteFailureIsReported) {
    Connect();
    sim().faults.fail_message = 0;
    EXPECT_EQ(pcx_fpga_reg_w(FPGA_REG_0x06, 1), -1);
    Disconnect();
}

// ---- reads ----------------------------------------------------------------------

struct ReadCase {
    const char *name;
    unsigned reg;
    Bytes device;  // bytes at the register's address
    int32_t value;
    Bytes frame;  // bytes clocked out
};
// Printed by name: the raw bytes gtest would show include padding.
void PrintTo(const ReadCase &p, std::ostream *os) { *os << p.name; }

class Read : public RegTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(Read, ExtractsTheField) {
    const ReadCase &c = GetParam();
    const uint8_t a = fpga_regs[c.reg].address;
    for (size_t i = 0; i < c.device.size(); ++i)
        sim().fpga[a + i] = c.device[i];
    Connect();
    int32_t value = 0x5555;
    EXPECT_EQ(pcx_fpga_reg_r(c.reg, &value), 0);
    EXPECT_EQ(value, c.value);
    ASSERT_EQ(sim().frames.size(), 1u);
    EXPECT_EQ(sim().frames[0].mosi, c.frame);
    Disconnect();
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, Read,
    ::testing::Values(
        ReadCase{"Bit0Clear", FPGA_REG_0x00, {0xFE}, 0, {0x01, 0x00, 0x00}},
        ReadCase{"Bit0Set", FPGA_REG_0x00, {0x03}, 1, {0x01, 0x00, 0x00}},
        ReadCase{"Version", FPGA_REG_VERSION, {0x12}, 18, {0x01, 0x01, 0x00}},
        ReadCase{"ByteUnsigned", FPGA_REG_0x03, {0x80}, 128, {0x01, 0x03, 0x00}},
        ReadCase{"ByteAt7F", FPGA_REG_0x7F, {0xAB}, 0xAB, {0x01, 0x7F, 0x00}},
        ReadCase{"Wide06", FPGA_REG_0x06, {0x00, 0x7D}, 32000, {0x01, 0x06, 0x00, 0x00}},
        ReadCase{"Wide08", FPGA_REG_0x08, {0xFF, 0xFF}, 65535, {0x01, 0x08, 0x00, 0x00}},
        ReadCase{"Wide0A",
                 FPGA_REG_0x0A,
                 {0x78, 0x56, 0x34, 0xF2},
                 static_cast<int32_t>(0xF2345678u),
                 {0x01, 0x0A, 0x00, 0x00, 0x00, 0x00}}),
    [](const auto &info) {
        return std::string(info.param.name);
    });

class ReadFailure : public RegTest, public ::testing::WithParamInterface<unsigned> {};

TEST_P(ReadFailure, ReturnsMinusOneAndStoresZero) {
    const unsigned reg = GetParam();
    sim().fpga[fpga_regs[reg].address] = 0x5A;
    Connect();
    sim().faults.fail_message = 0;
    int32_t value = 0x5555;
    EXPECT_EQ(pcx_fpga_reg_r(reg, &value), -1);
    EXPECT_EQ(value, 0);
    Disconnect();
}

INSTANTIATE_TEST_SUITE_P(Registers, ReadFailure,
                         ::testing::Values(FPGA_REG_0x00, FPGA_REG_0x03, FPGA_REG_0x06,
                                           FPGA_REG_0x0A));

// ---- bursts ---------------------------------------------------------------------

TEST_F(RegTest, BurstsStartAtTheRegistersAddressWhateverItsWidth) {
    Connect();
    const Bytes data = {1, 2, 3};
    EXPECT_EQ(pcx_fpga_reg_wb(FPGA_REG_0x03, data.data(), 3), 0);
    EXPECT_EQ(Bytes(sim().fpga + 3, sim().fpga + 6), data);
    sim().fpga[0x00] = 0xAA;
    sim().fpga[0x01] = 0x12;
    uint8_t buf[2] = {};
    EXPECT_EQ(pcx_fpga_reg_rb(FPGA_REG_0x00, buf, 2), 0);
    EXPECT_EQ(Bytes(buf, buf + 2), (Bytes{0xAA, 0x12}));
    EXPECT_EQ(FramesOut(), (std::vector<Bytes>{{0x01, 0x83, 1, 2, 3}, {0x01, 0x00, 0, 0}}));

    ClearLog();
    Bytes big(1025, 0x33);
    EXPECT_EQ(pcx_fpga_reg_wb(FPGA_REG_0x7F, big.data(), 1025), 0);
    EXPECT_EQ(sim().message_requests().size(), 2u);
    sim().faults.fail_message = 2;
    EXPECT_EQ(pcx_fpga_reg_rb(FPGA_REG_0x7F, big.data(), 1025), -1);
    Disconnect();
}

// ---- SX1272 ---------------------------------------------------------------------

TEST_F(RegTest, Sx1272AccessesPassThroughWithItsSelector) {
    Connect();
    EXPECT_EQ(pcx_sx1272_reg_w(0xC2, 0x5A), 0);  // bit 7 of the address is dropped
    EXPECT_EQ(sim().sx1272[0x42], 0x5A);
    EXPECT_EQ(sim().fpga[0x42], 0x00);
    sim().sx1272[0x42] = 0x22;
    uint8_t value = 0;
    EXPECT_EQ(pcx_sx1272_reg_r(0x42, &value), 0);
    EXPECT_EQ(value, 0x22);
    EXPECT_EQ(FramesOut(), (std::vector<Bytes>{{0x03, 0xC2, 0x5A}, {0x03, 0x42, 0x00}}));
    sim().faults.fail_message = 2;
    EXPECT_EQ(pcx_sx1272_reg_r(0x42, &value), -1);
    Disconnect();
}

}  // namespace
