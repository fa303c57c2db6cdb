// fpgactl: read and write the concentrator FPGA's registers and the SX1272's
// behind it. See docs/fpga.md.
#include "fpgactl_cli.h"

int main(int argc, char **argv) { return fpgactl::Run(argc, argv, stdout, stderr); }
