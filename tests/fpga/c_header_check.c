/* Compiles the public header as C: the descriptor's layout seen from C is
 * compared with C++'s by the register table test. */
#include "fpga.h"

#include <stddef.h>

int fpga_header_c_sizeof_desc(void);
int fpga_header_c_offsetof_default(void);

int fpga_header_c_sizeof_desc(void) { return (int)sizeof(FpgaRegDesc); }

int fpga_header_c_offsetof_default(void) { return (int)offsetof(FpgaRegDesc, default_value); }
