/*
 * Concentrator FPGA access: the spidev link (fpga_link), the FPGA register
 * map and register access (fpga_regmap), and a millisecond delay
 * (fpga_delay).
 *
 * Every int-returning function returns exactly 0 on success and -1 on any
 * failure. None prints anything, sets a message or retries. Single-threaded
 * use: nothing here takes a lock.
 *
 * Usable from C and C++; every name has a plain, undecorated symbol.
 */
#ifndef GW_FPGA_H
#define GW_FPGA_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- SPI link (fpga_link) ---------------------------------------------- */

/* Selector byte, the first byte of every frame: which device behind the
 * FPGA the frame is for. */
#define SPI_SEL_FPGA 0x01   /* the FPGA's own registers */
#define SPI_SEL_SX1272 0x03 /* the SX1272 radio behind the FPGA */

/* Maximum SPI clock, set at open. */
#define SPI_SPEED_HZ 8000000
/* Largest number of data bytes carried by one burst message. */
#define SPI_BURST_CHUNK 1024

/*
 * A link handle is an opaque pointer to a heap cell holding the descriptor
 * of the open "/dev/spidev0.0". A null handle means no link is open; every
 * operation refuses it with -1 and without touching the device.
 *
 * Addresses are 7 bits: bit 7 of the caller's address never reaches the
 * wire. A write frame carries 0x80 | (address & 0x7F), a read frame
 * address & 0x7F.
 */

/* Opens "/dev/spidev0.0" read-write and sets mode 0, 8000000 Hz, MSB first
 * and 8-bit words (each written, then read back). On success stores the new
 * handle through `handle` and returns 0. On any failure (null `handle`, no
 * memory, open or a setting request failing) returns -1 with nothing left
 * open or allocated and `*handle` unchanged. */
int pcx_fpga_spi_open(void **handle);

/* Closes the descriptor and frees the handle; the handle is invalid
 * afterwards, whatever the result. Returns -1 for a null handle or when
 * close() fails (the handle is freed anyway). */
int pcx_fpga_spi_close(void *handle);

/* Single write: one 3-byte frame [selector][0x80 | address][data]. */
int pcx_fpga_spi_w(void *handle, uint8_t selector, uint8_t address, uint8_t data);

/* Single read: one 3-byte frame [selector][address][0x00]; stores the third
 * byte received through `data`. On failure `*data` is left untouched. */
int pcx_fpga_spi_r(void *handle, uint8_t selector, uint8_t address, uint8_t *data);

/* Burst write of `size` bytes (1 to 65535) to one address. Sent as messages
 * of at most SPI_BURST_CHUNK data bytes, each opening with the same 2-byte
 * header [selector][0x80 | address] within one chip-select period; the
 * address is not advanced between messages. Data goes straight from the
 * caller's buffer to the driver. Size 0 or a null `data` returns -1 without
 * a transfer. If one message fails the rest are still sent and the call
 * returns -1. */
int pcx_fpga_spi_wb(void *handle, uint8_t selector, uint8_t address, const uint8_t *data,
                    uint16_t size);

/* Burst read of `size` bytes (1 to 65535) from one address into `data`,
 * chunked like pcx_fpga_spi_wb with the header [selector][address]. A failed
 * call may leave `data` partly filled. */
int pcx_fpga_spi_rb(void *handle, uint8_t selector, uint8_t address, uint8_t *data, uint16_t size);

/* ---- Register map and access (fpga_regmap) ------------------------------ */

/* One FPGA register: a bit field within the byte at `address`, or a field
 * of 9 to 32 bits (offset 0) spread least significant byte first over the
 * bytes from `address` on. */
typedef struct FpgaRegDesc {
    int8_t page;           /* -1 in every entry; not used for access */
    uint8_t address;       /* register address (7 bits reach the wire) */
    uint8_t bit_offset;    /* position of the field's least significant bit */
    bool is_signed;        /* reads are sign-extended */
    uint8_t bit_length;    /* width of the field, 1 to 32 */
    bool read_only;        /* writes are refused */
    int32_t default_value; /* value after reset; informational */
} FpgaRegDesc;

/* Register indices into fpga_regs. An index names a field, not a byte. */
#define FPGA_REG_0x00 0    /* bit 0 of 0x00 */
#define FPGA_REG_VERSION 1 /* 0x01, read-only */
#define FPGA_REG_0x02 2    /* read-only */
#define FPGA_REG_0x03 3
#define FPGA_REG_0x04 4
#define FPGA_REG_0x05 5 /* read-only */
#define FPGA_REG_0x06 6 /* 16 bits, 0x06..0x07 */
#define FPGA_REG_0x08 7 /* 16 bits, 0x08..0x09 */
#define FPGA_REG_0x0A 8 /* 32 bits, 0x0A..0x0D, read-only */
#define FPGA_REG_0x7F 9
#define FPGA_REG_COUNT 10

/* The version pcx_fpga_connect requires in FPGA_REG_VERSION. */
#define FPGA_EXPECTED_VERSION 0x12

/* The register table, indexed by register index. Never changes. */
extern const FpgaRegDesc fpga_regs[FPGA_REG_COUNT];

/* The one link to the FPGA: null while disconnected. Owned by the register
 * module; host code may read it but must not close or replace it. */
extern void *spi_target;

/* Opens the link into spi_target (closing any link already open first) and
 * reads the version register. Returns 0 only if it reads
 * FPGA_EXPECTED_VERSION. When the link opened but the version read failed or
 * did not match, returns -1 with the link still open: call
 * pcx_fpga_disconnect. When the link did not open, spi_target stays null. */
int pcx_fpga_connect(void);

/* Closes the link and clears spi_target. Returns -1 if no link is open. */
int pcx_fpga_disconnect(void);

/* Writes `value` into register `reg`'s field: a whole byte as one single
 * write; a narrower field by read-modify-write of its byte (only the field's
 * bits change; if the read fails nothing is written and -1 is returned); a
 * wider field as one burst of its bytes, least significant first. The field
 * takes the value's low bits; the range is not checked. Refused with -1
 * before any transfer: index >= FPGA_REG_COUNT, no link, a read-only
 * register. */
int pcx_fpga_reg_w(unsigned int reg, int32_t value);

/* Reads register `reg`'s field into `*value`, sign-extended for a signed
 * field. Refused with -1 before any transfer: index >= FPGA_REG_COUNT, null
 * `value`, no link. Once a transfer was attempted `*value` is stored even if
 * it failed (0 for a read that delivered nothing) and the result is -1. */
int pcx_fpga_reg_r(unsigned int reg, int32_t *value);

/* Burst write of `size` bytes (1 to 65535) starting at register `reg`'s
 * address, whatever its width. Refused with -1: bad index, size 0, null
 * `data`, no link, a read-only register. */
int pcx_fpga_reg_wb(unsigned int reg, const uint8_t *data, uint16_t size);

/* Burst read of `size` bytes (1 to 65535) starting at register `reg`'s
 * address. Refused with -1: bad index, size 0, null `data`, no link. */
int pcx_fpga_reg_rb(unsigned int reg, uint8_t *data, uint16_t size);

/* SX1272 pass-through: one single frame with selector SPI_SEL_SX1272 to the
 * radio's 7-bit `address`. -1 with no link open. */
int pcx_sx1272_reg_w(uint8_t address, uint8_t value);
int pcx_sx1272_reg_r(uint8_t address, uint8_t *value);

/* ---- Delay (fpga_delay) ------------------------------------------------- */

/* Sleeps `ms` milliseconds on the monotonic clock (a relative interval, so
 * setting the wall clock does not change it). wait_ms(0) returns at once. A
 * sleep cut short by a signal ends early and is not resumed. */
void wait_ms(unsigned long ms);

#ifdef __cplusplus
}
#endif

#endif /* GW_FPGA_H */
