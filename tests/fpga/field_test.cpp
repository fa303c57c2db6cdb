// Field insertion and extraction for register shapes the board's table does
// not have (signed fields, fields at an offset, odd widths). The register
// module's field helpers (fpga_fields.h) are given any descriptor; the
// transfers still go through the real link to the simulated device.

#include "fpga_fields.h"

#include "sim_fixture.h"

#include <climits>
#include <ostream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kAddr = 0x20;

FpgaRegDesc Field(uint8_t offset, uint8_t length, bool is_signed) {
    return FpgaRegDesc{-1, kAddr, offset, is_signed, length, false, 0};
}

class FieldTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        ASSERT_EQ(pcx_fpga_connect(), 0);
        ClearLog();
    }
    void TearDown() override {
        EXPECT_EQ(pcx_fpga_disconnect(), 0);
        SimTest::TearDown();
    }
    void Preset(const Bytes &bytes) {
        for (size_t i = 0; i < bytes.size(); ++i)
            sim().fpga[kAddr + i] = bytes[i];
    }
};

struct ReadCase {
    const char *name;
    uint8_t offset, length;
    bool is_signed;
    Bytes device;
    int32_t value;
};
// Printed by name: the raw bytes gtest would show include padding.
void PrintTo(const ReadCase &p, std::ostream *os) { *os << p.name; }

class FieldRead : public FieldTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(FieldRead, ExtractsAndSignExtends) {
    const ReadCase &c = GetParam();
    Preset(c.device);
    int32_t value = 0x5555;
    EXPECT_EQ(field_read(Field(c.offset, c.length, c.is_signed), &value), 0);
    EXPECT_EQ(value, c.value);
    ASSERT_EQ(sim().frames.size(), 1u);
    const size_t bytes = c.offset + c.length <= 8 ? 1 : (c.length + 7) / 8u;
    Bytes frame = {0x01, kAddr};
    frame.resize(2 + bytes, 0x00);
    EXPECT_EQ(sim().frames[0].mosi, frame);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, FieldRead,
    ::testing::Values(ReadCase{"Signed4At2", 2, 4, true, {0x3C}, -1},
                      ReadCase{"Unsigned4At2", 2, 4, false, {0x3C}, 15},
                      ReadCase{"Signed4At2Positive", 2, 4, true, {0xDF}, 7},
                      ReadCase{"Signed1At7", 7, 1, true, {0x80}, -1},
                      ReadCase{"Unsigned1At7", 7, 1, false, {0x80}, 1},
                      ReadCase{"Signed3At5", 5, 3, true, {0xBF}, -3},
                      ReadCase{"Signed8", 0, 8, true, {0x80}, -128},
                      ReadCase{"Signed12Negative", 0, 12, true, {0xFF, 0x0F}, -1},
                      ReadCase{"Signed12Positive", 0, 12, true, {0xFF, 0xF7}, 2047},
                      // An unsigned wide field returns its bytes whole.
                      ReadCase{"Unsigned12", 0, 12, false, {0xFF, 0xFF}, 65535},
                      ReadCase{"Signed16", 0, 16, true, {0x00, 0x80}, -32768},
                      ReadCase{"Signed24", 0, 24, true, {0x00, 0x00, 0x80}, -8388608},
                      ReadCase{"Signed32", 0, 32, true, {0x01, 0x00, 0x00, 0x80}, INT32_MIN + 1},
                      ReadCase{"Unsigned32", 0, 32, false, {0xFF, 0xFF, 0xFF, 0xFF}, -1}),
    [](const auto &info) {
        return std::string(info.param.name);
    });

struct WriteCase {
    const char *name;
    uint8_t offset, length;
    Bytes before;
    int32_t value;
    std::vector<Bytes> frames;
    Bytes after;
};
// Printed by name: the raw bytes gtest would show include padding.
void PrintTo(const WriteCase &p, std::ostream *os) { *os << p.name; }

class FieldWrite : public FieldTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(FieldWrite, InsertsTheFieldOnly) {
    const WriteCase &c = GetParam();
    Preset(c.before);
    EXPECT_EQ(field_write(Field(c.offset, c.length, false), c.value), 0);
    EXPECT_EQ(FramesOut(), c.frames);
    EXPECT_EQ(Bytes(sim().fpga + kAddr, sim().fpga + kAddr + c.after.size()), c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, FieldWrite,
    ::testing::Values(
        WriteCase{
            "Field4At2", 2, 4, {0xC3}, 0x05, {{0x01, 0x20, 0x00}, {0x01, 0xA0, 0xD7}}, {0xD7}},
        WriteCase{"Field4At2TakesLowBits",
                  2,
                  4,
                  {0x00},
                  0x1F,
                  {{0x01, 0x20, 0x00}, {0x01, 0xA0, 0x3C}},
                  {0x3C}},
        WriteCase{
            "Field4At2Clear", 2, 4, {0xFF}, 0, {{0x01, 0x20, 0x00}, {0x01, 0xA0, 0xC3}}, {0xC3}},
        WriteCase{"Bit7", 7, 1, {0x01}, 1, {{0x01, 0x20, 0x00}, {0x01, 0xA0, 0x81}}, {0x81}},
        WriteCase{
            "Wide12", 0, 12, {0, 0, 0x99}, 0xABC, {{0x01, 0xA0, 0xBC, 0x0A}}, {0xBC, 0x0A, 0x99}},
        WriteCase{"Wide24",
                  0,
                  24,
                  {0, 0, 0, 0x99},
                  0x7654321,
                  {{0x01, 0xA0, 0x21, 0x43, 0x65}},
                  {0x21, 0x43, 0x65, 0x99}},
        WriteCase{"Wide32",
                  0,
                  32,
                  {0, 0, 0, 0},
                  -2,
                  {{0x01, 0xA0, 0xFE, 0xFF, 0xFF, 0xFF}},
                  {0xFE, 0xFF, 0xFF, 0xFF}}),
    [](const auto &info) {
        return std::string(info.param.name);
    });

TEST_F(FieldTest, ShapesThatCannotBeServedAreRefusedWithoutATransfer) {
    struct Shape {
        uint8_t offset, length;
    };
    const Shape shapes[] = {{1, 8}, {4, 12}, {0, 33}, {0, 0}, {3, 0}};
    for (const Shape &s : shapes) {
        SCOPED_TRACE("offset " + std::to_string(s.offset) + " length " + std::to_string(s.length));
        int32_t value = 0x5555;
        EXPECT_EQ(field_read(Field(s.offset, s.length, true), &value), -1);
        EXPECT_EQ(value, 0x5555);
        EXPECT_EQ(field_write(Field(s.offset, s.length, false), 1), -1);
    }
    EXPECT_TRUE(sim().requests.empty());
}

}  // namespace
