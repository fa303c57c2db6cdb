// fpga_fields.h - reading and writing one register field over the link
// in spi_target: the field shapes of FpgaRegDesc (a field inside one byte at
// any bit offset, or a field of 9 to 32 bits from bit 0, least significant
// byte first), signed or not. Included by fpga_regmap, which keeps its own
// private copy (no symbol is exported, the module stays one source file),
// and by the tests, which give it shapes the board's table does not have.
// Internal to the FPGA modules: not installed.
#ifndef GWFPGA_FPGA_FIELDS_H
#define GWFPGA_FPGA_FIELDS_H

#include <cstdint>

#include "fpga.h"

namespace {

// A field of 9 to 32 bits must start at bit 0 of its first byte.
inline bool wide_shape_ok(const FpgaRegDesc &r) {
    return r.bit_offset == 0 && r.bit_length >= 1 && r.bit_length <= 32;
}

inline bool fits_in_byte(const FpgaRegDesc &r) { return r.bit_offset + r.bit_length <= 8; }

// Writes `value` into the field `r` describes. No index, link or read-only
// check here: the caller has made them.
inline int field_write(const FpgaRegDesc &r, int32_t value) {
    const unsigned o = r.bit_offset;
    const unsigned n = r.bit_length;
    if (n == 8 && o == 0)
        return pcx_fpga_spi_w(spi_target, SPI_SEL_FPGA, r.address,
                              static_cast<uint8_t>(value & 0xFF));

    if (fits_in_byte(r)) {
        if (n == 0) return -1;
        // Read-modify-write. If the read fails the old bits are unknown:
        // writing anything back would clobber the rest of the byte on the
        // hardware, so nothing is written.
        uint8_t old = 0;
        if (pcx_fpga_spi_r(spi_target, SPI_SEL_FPGA, r.address, &old) != 0) return -1;
        const uint8_t mask = static_cast<uint8_t>(((1u << n) - 1u) << o);
        const uint8_t bits =
            static_cast<uint8_t>((static_cast<uint32_t>(value & 0xFF) << o) & mask);
        const uint8_t next = static_cast<uint8_t>(bits | (old & static_cast<uint8_t>(~mask)));
        return pcx_fpga_spi_w(spi_target, SPI_SEL_FPGA, r.address, next);
    }

    if (!wide_shape_ok(r)) return -1;
    const uint16_t count = static_cast<uint16_t>((n + 7) / 8);
    const uint32_t u = static_cast<uint32_t>(value);
    uint8_t bytes[4];
    for (unsigned i = 0; i < 4; ++i)
        bytes[i] = static_cast<uint8_t>(u >> (8 * i));  // least significant byte first
    return pcx_fpga_spi_wb(spi_target, SPI_SEL_FPGA, r.address, bytes, count);
}

// Reads the field `r` describes into `*value`, sign-extended for a signed
// field. The value is stored whenever a transfer was attempted; the receive
// buffers start cleared, so a transfer that delivered nothing gives 0.
inline int field_read(const FpgaRegDesc &r, int32_t *value) {
    const unsigned o = r.bit_offset;
    const unsigned n = r.bit_length;

    if (fits_in_byte(r)) {
        if (n == 0) return -1;
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

    if (!wide_shape_ok(r)) return -1;
    uint8_t bytes[4] = {0, 0, 0, 0};
    const uint16_t count = static_cast<uint16_t>((n + 7) / 8);
    const int rc = pcx_fpga_spi_rb(spi_target, SPI_SEL_FPGA, r.address, bytes, count);
    const uint32_t u = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                       static_cast<uint32_t>(bytes[2]) << 16 |
                       static_cast<uint32_t>(bytes[3]) << 24;
    if (r.is_signed)
        *value = static_cast<int32_t>(u << (32 - n)) >> (32 - n);
    else
        *value = static_cast<int32_t>(u);
    return rc == 0 ? 0 : -1;
}

}  // namespace

#endif  // GWFPGA_FPGA_FIELDS_H
