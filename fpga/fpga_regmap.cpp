// fpga_regmap: the FPGA register table and register access by index, the
// version check on connect, and SX1272 pass-through. All transfers go over
// the one link kept in spi_target.

#include "fpga.h"
#include "fpga_fields.h"

#include <cstdint>

extern "C" {

void *spi_target = nullptr;

const FpgaRegDesc fpga_regs[FPGA_REG_COUNT] = {
    // page, address, bit_offset, is_signed, bit_length, read_only, default_value
    {-1, 0x00, 0, false, 1, false, 0},       // FPGA_REG_0x00
    {-1, 0x01, 0, false, 8, true, 0x12},     // FPGA_REG_VERSION
    {-1, 0x02, 0, false, 8, true, 0},        // FPGA_REG_0x02
    {-1, 0x03, 0, false, 8, false, 0},       // FPGA_REG_0x03
    {-1, 0x04, 0, false, 8, false, 0},       // FPGA_REG_0x04
    {-1, 0x05, 0, false, 8, true, 0},        // FPGA_REG_0x05
    {-1, 0x06, 0, false, 16, false, 32000},  // FPGA_REG_0x06
    {-1, 0x08, 0, false, 16, false, 1000},   // FPGA_REG_0x08
    {-1, 0x0A, 0, false, 32, true, 0},       // FPGA_REG_0x0A
    {-1, 0x7F, 0, false, 8, false, 0},       // FPGA_REG_0x7F
};

}  // extern "C"

static_assert(FPGA_EXPECTED_VERSION == 0x12, "version register default");

extern "C" {

int pcx_fpga_connect(void) {
    if (spi_target != nullptr) {
        pcx_fpga_spi_close(spi_target);
        spi_target = nullptr;
    }
    if (pcx_fpga_spi_open(&spi_target) != 0) return -1;
    uint8_t version = 0;
    if (pcx_fpga_spi_r(spi_target, SPI_SEL_FPGA, fpga_regs[FPGA_REG_VERSION].address, &version) !=
        0)
        return -1;
    return version == FPGA_EXPECTED_VERSION ? 0 : -1;
}

int pcx_fpga_disconnect(void) {
    if (spi_target == nullptr) return -1;
    pcx_fpga_spi_close(spi_target);
    spi_target = nullptr;
    return 0;
}

int pcx_fpga_reg_w(unsigned int reg, int32_t value) {
    if (reg >= FPGA_REG_COUNT) return -1;
    if (spi_target == nullptr) return -1;
    const FpgaRegDesc &r = fpga_regs[reg];
    if (r.read_only) return -1;
    return field_write(r, value);
}

int pcx_fpga_reg_r(unsigned int reg, int32_t *value) {
    if (reg >= FPGA_REG_COUNT || value == nullptr) return -1;
    if (spi_target == nullptr) return -1;
    return field_read(fpga_regs[reg], value);
}

int pcx_fpga_reg_wb(unsigned int reg, const uint8_t *data, uint16_t size) {
    if (reg >= FPGA_REG_COUNT || size == 0 || data == nullptr) return -1;
    if (spi_target == nullptr) return -1;
    const FpgaRegDesc &r = fpga_regs[reg];
    if (r.read_only) return -1;
    return pcx_fpga_spi_wb(spi_target, SPI_SEL_FPGA, r.address, data, size) == 0 ? 0 : -1;
}

int pcx_fpga_reg_rb(unsigned int reg, uint8_t *data, uint16_t size) {
    if (reg >= FPGA_REG_COUNT || size == 0 || data == nullptr) return -1;
    if (spi_target == nullptr) return -1;
    return pcx_fpga_spi_rb(spi_target, SPI_SEL_FPGA, fpga_regs[reg].address, data, size) == 0 ? 0
                                                                                              : -1;
}

int pcx_sx1272_reg_w(uint8_t address, uint8_t value) {
    return pcx_fpga_spi_w(spi_target, SPI_SEL_SX1272, address, value);
}

int pcx_sx1272_reg_r(uint8_t address, uint8_t *value) {
    return pcx_fpga_spi_r(spi_target, SPI_SEL_SX1272, address, value);
}

}  // extern "C"
