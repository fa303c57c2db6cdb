// fpga_regmap: the FPGA register table and register access by index, the
// version check on connect, and SX1272 pass-through. All transfers go over
// the one link kept in spi_target.

#include "fpga.h"

#include <cstdint>

extern "C" {

void *spi_target = nullptr;

const FpgaRegDesc fpga_regs[FPGA_REG_COUNT] = {
    // page, address, bit_offset, is_signed, bit_length, read_only, default_value
    {-1, 0x00, 0, false, 1, false, 0},     // FPGA_REG_0x00
    {-1, 0x01, 0, false, 8, true, 0x12},   // FPGA_REG_VERSION
    {-1, 0x02, 0, false, 8, true, 0},      // FPGA_REG_0x02
    {-1, 0x03, 0, false, 8, false, 0},     // FPGA_REG_0x03
    {-1, 0x04, 0, false, 8, false, 0},     // FPGA_REG_0x04
    {-1, 0x05, 0, false, 8, true, 0},      // FPGA_REG_0x05
    {-1, 0x06, 0, false, 16, false, 32000}, // FPGA_REG_0x06
    {-1, 0x08, 0, false, 16, false, 1000}, // FPGA_REG_0x08
    {-1, 0x0A, 0, false, 32, true, 0},     // FPGA_REG_0x0A
    {-1, 0x7F, 0, false, 8, false, 0},     // FPGA_REG_0x7F
};

} // extern "C"

static_assert(FPGA_EXPECTED_VERSION == 0x12, "version register default");

namespace {

// A field of 9 to 32 bits must start at bit 0 of its first byte.
bool wide_shape_ok(const FpgaRegDesc &r) {
    return r.bit_offset == 0 && r.bit_length >= 1 && r.bit_length <= 32;
}

bool fits_in_byte(const FpgaRegDesc &r) { return r.bit_offset + r.bit_length <= 8; }

// Writes `value` into the field `r` describes. No index, link or read-only
// check here: the caller has made them.
int field_write(const FpgaRegDesc &r, int32_t value) {
    const unsigned o = r.bit_offset;
    const unsigned n = r.bit_length;
    if (n == 8 && o == 0)
        return pcx_fpga_spi_w(spi_target, SPI_SEL_FPGA, r.address, static_cast<uint8_t>(value & 0xFF));

    if (fits_in_byte(r)) {
        if (n == 0)
            return -1;
        // Read-modify-write. If the read fails the old bits are unknown:
        // writing anything back would clobber the rest of the byte on the
        // hardware, so nothing is written.
        uint8_t old = 0;
        if (pcx_fpga_spi_r(spi_target, SPI_SEL_FPGA, r.address, &old) != 0)
            return -1;
        const uint8_t mask = static_cast<uint8_t>(((1u << n) - 1u) << o);
        const uint8_t bits = static_cast<uint8_t>((static_cast<uint32_t>(value & 0xFF) << o) & mask);
        const uint8_t next = static_cast<uint8_t>(bits | (old & static_cast<uint8_t>(~mask)));
        return pcx_fpga_spi_w(spi_target, SPI_SEL_FPGA, r.address, next);
    }

    if (!wide_shape_ok(r))
        return -1;
    const uint16_t count = static_cast<uint16_t>((n + 7) / 8);
    const uint32_t u = static_cast<uint32_t>(value);
    uint8_t bytes[4];
    for (unsigned i = 0; i < 4; ++i)
        bytes[i] = static_cast<uint8_t>(u >> (8 * i)); // least significant byte first
    return pcx_fpga_spi_wb(spi_target, SPI_SEL_FPGA, r.address, bytes, count);
}

// Reads the field `r` describes into `*value`, sign-extended for a signed
// field. The value is stored whenever a transfer was attempted; the receive
// buffers start cleared, so a transfer that delivered nothing gives 0.
int field_read(const FpgaRegDesc &r, int32_t *value) {
    const unsigned o = r.bit_offset;
    const unsigned n = r.bit_length;

    if (fits_in_byte(r)) {
        if (n == 0)
            return -1;
        uint8_t b = 0;
        const int rc = pcx_fpga_spi_r(spi_target, SPI_SEL_FPGA, r.address, &b);
        // Move the field's top bit to bit 7, then shift it back down.
        const uint8_t x = static_cast<uint8_t>(b << (8 - n - o));
        if (r.is_signed)
            *value = static_cast<int8_t>(x) >> (8 - n);
        else
            *value = x >> (8 - n);
        return rc == 0 ? 0 : -1;
    }

    if (!wide_shape_ok(r))
        return -1;
    uint8_t bytes[4] = {0, 0, 0, 0};
    const uint16_t count = static_cast<uint16_t>((n + 7) / 8);
    const int rc = pcx_fpga_spi_rb(spi_target, SPI_SEL_FPGA, r.address, bytes, count);
    const uint32_t u = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                       static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    if (r.is_signed)
        *value = static_cast<int32_t>(u << (32 - n)) >> (32 - n);
    else
        *value = static_cast<int32_t>(u);
    return rc == 0 ? 0 : -1;
}

} // namespace

extern "C" {

int pcx_fpga_connect(void) {
    if (spi_target != nullptr) {
        pcx_fpga_spi_close(spi_target);
        spi_target = nullptr;
    }
    if (pcx_fpga_spi_open(&spi_target) != 0)
        return -1;
    uint8_t version = 0;
    if (pcx_fpga_spi_r(spi_target, SPI_SEL_FPGA, fpga_regs[FPGA_REG_VERSION].address, &version) != 0)
        return -1;
    return version == FPGA_EXPECTED_VERSION ? 0 : -1;
}

int pcx_fpga_disconnect(void) {
    if (spi_target == nullptr)
        return -1;
    pcx_fpga_spi_close(spi_target);
    spi_target = nullptr;
    return 0;
}

int pcx_fpga_reg_w(unsigned int reg, int32_t value) {
    if (reg >= FPGA_REG_COUNT)
        return -1;
    if (spi_target == nullptr)
        return -1;
    const FpgaRegDesc &r = fpga_regs[reg];
    if (r.read_only)
        return -1;
    return field_write(r, value);
}

int pcx_fpga_reg_r(unsigned int reg, int32_t *value) {
    if (reg >= FPGA_REG_COUNT || value == nullptr)
        return -1;
    if (spi_target == nullptr)
        return -1;
    return field_read(fpga_regs[reg], value);
}

int pcx_fpga_reg_wb(unsigned int reg, const uint8_t *data, uint16_t size) {
    if (reg >= FPGA_REG_COUNT || size == 0 || data == nullptr)
        return -1;
    if (spi_target == nullptr)
        return -1;
    const FpgaRegDesc &r = fpga_regs[reg];
    if (r.read_only)
        return -1;
    return pcx_fpga_spi_wb(spi_target, SPI_SEL_FPGA, r.address, data, size) == 0 ? 0 : -1;
}

int pcx_fpga_reg_rb(unsigned int reg, uint8_t *data, uint16_t size) {
    if (reg >= FPGA_REG_COUNT || size == 0 || data == nullptr)
        return -1;
    if (spi_target == nullptr)
        return -1;
    return pcx_fpga_spi_rb(spi_target, SPI_SEL_FPGA, fpga_regs[reg].address, data, size) == 0 ? 0 : -1;
}

int pcx_sx1272_reg_w(uint8_t address, uint8_t value) {
    return pcx_fpga_spi_w(spi_target, SPI_SEL_SX1272, address, value);
}

int pcx_sx1272_reg_r(uint8_t address, uint8_t *value) {
    return pcx_fpga_spi_r(spi_target, SPI_SEL_SX1272, address, value);
}

} // extern "C"
