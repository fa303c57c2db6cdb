// fpgactl's commands: see fpgactl_cli.h and docs/fpga.md.
#include "fpgactl_cli.h"

#include "fpga.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

namespace fpgactl {
namespace {

const char kDevice[] = "/dev/spidev0.0";

struct RegName {
    unsigned index;
    const char *name;
};

#define FPGACTL_REG(r) \
    { r, #r }
const RegName kRegNames[FPGA_REG_COUNT] = {
    FPGACTL_REG(FPGA_REG_0x00), FPGACTL_REG(FPGA_REG_VERSION), FPGACTL_REG(FPGA_REG_0x02),
    FPGACTL_REG(FPGA_REG_0x03), FPGACTL_REG(FPGA_REG_0x04),    FPGACTL_REG(FPGA_REG_0x05),
    FPGACTL_REG(FPGA_REG_0x06), FPGACTL_REG(FPGA_REG_0x08),    FPGACTL_REG(FPGA_REG_0x0A),
    FPGACTL_REG(FPGA_REG_0x7F),
};
#undef FPGACTL_REG

const char kPrefix[] = "FPGA_REG_";

const char *RegisterName(unsigned index) {
    for (const RegName &r : kRegNames)
        if (r.index == index) return r.name;
    return "?";
}

void Usage(std::FILE *f) {
    std::fputs(
        "usage: fpgactl COMMAND [ARGUMENTS]\n"
        "  version              read the FPGA version register\n"
        "  read REG             read one FPGA register\n"
        "  write REG VALUE      write one FPGA register\n"
        "  dump                 read every FPGA register\n"
        "  sx-read ADDR         read one SX1272 register\n"
        "  sx-write ADDR VALUE  write one SX1272 register\n"
        "REG is an index 0 to 9 or a name (FPGA_REG_VERSION or VERSION, FPGA_REG_0x06\n"
        "or 0x06); ADDR is 0 to 0x7F; numbers are decimal or 0x hex.\n"
        "Exit status: 0 done, 1 device or transfer failure, 2 refused input.\n"
        "fpgactl --version prints the version; man fpgactl.\n",
        f);
}

bool AllDigits(const char *s) {
    if (*s == '\0') return false;
    for (; *s; ++s)
        if (*s < '0' || *s > '9') return false;
    return true;
}

// A decimal number (with an optional '-') or 0x hex; the whole text must be
// the number.
bool ParseNumber(const char *s, long long *out) { return gwcli::parse_integer(s, out); }

bool ResolveRegister(const char *text, unsigned *index, std::FILE *err) {
    if (AllDigits(text)) {
        if (gwcli::parse_decimal(text, 0u, static_cast<unsigned>(FPGA_REG_COUNT - 1), index))
            return true;
        std::fprintf(err, "fpgactl: no register with index %s (0 to %d)\n", text,
                     FPGA_REG_COUNT - 1);
        return false;
    }
    for (const RegName &r : kRegNames) {
        const char *short_name = r.name + sizeof kPrefix - 1;
        if (strcasecmp(text, r.name) == 0 || strcasecmp(text, short_name) == 0) {
            *index = r.index;
            return true;
        }
    }
    std::fprintf(err, "fpgactl: unknown register '%s'; registers are:", text);
    for (const RegName &r : kRegNames)
        std::fprintf(err, " %s", r.name);
    std::fputc('\n', err);
    return false;
}

bool ParseSxAddress(const char *text, uint8_t *address, std::FILE *err) {
    long long v = 0;
    if (!ParseNumber(text, &v)) {
        std::fprintf(err, "fpgactl: '%s' is not a number\n", text);
        return false;
    }
    if (v < 0 || v > 0x7F) {
        std::fprintf(err, "fpgactl: SX1272 address %s is out of range (0 to 0x7F)\n", text);
        return false;
    }
    *address = static_cast<uint8_t>(v);
    return true;
}

// The range of values a field holds: 0 to 2^n - 1, or -2^(n-1) to 2^(n-1) - 1.
void FieldRange(const FpgaRegDesc &r, long long *lo, long long *hi) {
    const unsigned n = r.bit_length;
    if (r.is_signed) {
        *lo = -(1ll << (n - 1));
        *hi = (1ll << (n - 1)) - 1;
    } else {
        *lo = 0;
        *hi = (1ll << n) - 1;
    }
}

void PrintRegister(std::FILE *out, unsigned index, int32_t value, int pad) {
    const FpgaRegDesc &r = fpga_regs[index];
    const unsigned n = r.bit_length;
    const uint32_t mask = n >= 32 ? 0xFFFFFFFFu : (1u << n) - 1u;
    const int digits = static_cast<int>((n + 3) / 4);
    const uint32_t bits = static_cast<uint32_t>(value) & mask;
    if (r.is_signed)
        std::fprintf(out, "%-*s = 0x%0*X (%d)\n", pad, RegisterName(index), digits, bits, value);
    else
        std::fprintf(out, "%-*s = 0x%0*X (%u)\n", pad, RegisterName(index), digits, bits,
                     static_cast<uint32_t>(value));
}

// Connects and checks the version; on failure says why, leaves no link open
// and returns false.
bool Connect(std::FILE *err) {
    const int rc = pcx_fpga_connect();
    const int saved = errno;
    if (rc == 0) return true;
    if (spi_target == nullptr) {
        std::fprintf(err, "fpgactl: cannot open %s: %s\n", kDevice, std::strerror(saved));
        return false;
    }
    // The link opened: either the version read failed or it did not match.
    // Read it once more to tell which.
    uint8_t version = 0;
    if (pcx_fpga_spi_r(spi_target, SPI_SEL_FPGA, fpga_regs[FPGA_REG_VERSION].address, &version) !=
            0 ||
        version == FPGA_EXPECTED_VERSION)
        std::fprintf(err, "fpgactl: cannot read the FPGA version register\n");
    else
        std::fprintf(err, "fpgactl: FPGA version 0x%02X, expected 0x%02X\n", version,
                     FPGA_EXPECTED_VERSION);
    pcx_fpga_disconnect();
    return false;
}

int CmdVersion(std::FILE *out, std::FILE *err) {
    if (!Connect(err)) return kDeviceError;
    int32_t version = 0;
    const int rc = pcx_fpga_reg_r(FPGA_REG_VERSION, &version);
    pcx_fpga_disconnect();
    if (rc != 0) {
        std::fprintf(err, "fpgactl: cannot read the FPGA version register\n");
        return kDeviceError;
    }
    std::fprintf(out, "FPGA version 0x%02X\n", static_cast<unsigned>(version));
    return kOk;
}

int CmdRead(const char *reg_text, std::FILE *out, std::FILE *err) {
    unsigned index = 0;
    if (!ResolveRegister(reg_text, &index, err)) return kUsageError;
    if (!Connect(err)) return kDeviceError;
    int32_t value = 0;
    const int rc = pcx_fpga_reg_r(index, &value);
    pcx_fpga_disconnect();
    if (rc != 0) {
        std::fprintf(err, "fpgactl: reading %s failed\n", RegisterName(index));
        return kDeviceError;
    }
    PrintRegister(out, index, value, 0);
    return kOk;
}

int CmdWrite(const char *reg_text, const char *value_text, std::FILE *err) {
    unsigned index = 0;
    if (!ResolveRegister(reg_text, &index, err)) return kUsageError;
    const FpgaRegDesc &r = fpga_regs[index];
    if (r.read_only) {
        std::fprintf(err, "fpgactl: %s is read-only\n", RegisterName(index));
        return kUsageError;
    }
    long long value = 0;
    if (!ParseNumber(value_text, &value)) {
        std::fprintf(err, "fpgactl: '%s' is not a number\n", value_text);
        return kUsageError;
    }
    long long lo = 0, hi = 0;
    FieldRange(r, &lo, &hi);
    if (value < lo || value > hi) {
        std::fprintf(err, "fpgactl: value %s is out of range for %s (%lld to %lld)\n", value_text,
                     RegisterName(index), lo, hi);
        return kUsageError;
    }
    if (!Connect(err)) return kDeviceError;
    const int rc = pcx_fpga_reg_w(index, static_cast<int32_t>(static_cast<uint32_t>(value)));
    pcx_fpga_disconnect();
    if (rc != 0) {
        std::fprintf(err, "fpgactl: writing %s failed\n", RegisterName(index));
        return kDeviceError;
    }
    return kOk;
}

int CmdDump(std::FILE *out, std::FILE *err) {
    if (!Connect(err)) return kDeviceError;
    int status = kOk;
    for (unsigned i = 0; i < FPGA_REG_COUNT; ++i) {
        int32_t value = 0;
        if (pcx_fpga_reg_r(i, &value) != 0) {
            std::fprintf(err, "fpgactl: reading %s failed\n", RegisterName(i));
            status = kDeviceError;
            continue;
        }
        PrintRegister(out, i, value, 16);
    }
    pcx_fpga_disconnect();
    return status;
}

int CmdSxRead(const char *addr_text, std::FILE *out, std::FILE *err) {
    uint8_t address = 0;
    if (!ParseSxAddress(addr_text, &address, err)) return kUsageError;
    if (!Connect(err)) return kDeviceError;
    uint8_t value = 0;
    const int rc = pcx_sx1272_reg_r(address, &value);
    pcx_fpga_disconnect();
    if (rc != 0) {
        std::fprintf(err, "fpgactl: reading SX1272 register 0x%02X failed\n", address);
        return kDeviceError;
    }
    std::fprintf(out, "SX1272 0x%02X = 0x%02X (%u)\n", address, value, value);
    return kOk;
}

int CmdSxWrite(const char *addr_text, const char *value_text, std::FILE *err) {
    uint8_t address = 0;
    if (!ParseSxAddress(addr_text, &address, err)) return kUsageError;
    long long value = 0;
    if (!ParseNumber(value_text, &value)) {
        std::fprintf(err, "fpgactl: '%s' is not a number\n", value_text);
        return kUsageError;
    }
    if (value < 0 || value > 0xFF) {
        std::fprintf(err, "fpgactl: value %s is out of range for an SX1272 register (0 to 255)\n",
                     value_text);
        return kUsageError;
    }
    if (!Connect(err)) return kDeviceError;
    const int rc = pcx_sx1272_reg_w(address, static_cast<uint8_t>(value));
    pcx_fpga_disconnect();
    if (rc != 0) {
        std::fprintf(err, "fpgactl: writing SX1272 register 0x%02X failed\n", address);
        return kDeviceError;
    }
    return kOk;
}

int WrongArguments(const char *command, std::FILE *err) {
    std::fprintf(err, "fpgactl: wrong number of arguments for '%s'\n", command);
    Usage(err);
    return kUsageError;
}

}  // namespace

int Run(int argc, char **argv, std::FILE *out, std::FILE *err) {
    if (argc < 2) {
        Usage(err);
        return kUsageError;
    }
    const std::string cmd = argv[1];
    const int nargs = argc - 2;
    char **args = argv + 2;
    if (cmd == "-h" || cmd == "--help" || cmd == "help") {
        Usage(out);
        return kOk;
    }
    if (cmd == "--version") {
        if (nargs != 0) return WrongArguments(argv[1], err);
        std::fputs(gwcli::version_line("fpgactl").c_str(), out);
        return kOk;
    }
    if (cmd == "version") return nargs == 0 ? CmdVersion(out, err) : WrongArguments(argv[1], err);
    if (cmd == "read")
        return nargs == 1 ? CmdRead(args[0], out, err) : WrongArguments(argv[1], err);
    if (cmd == "write")
        return nargs == 2 ? CmdWrite(args[0], args[1], err) : WrongArguments(argv[1], err);
    if (cmd == "dump") return nargs == 0 ? CmdDump(out, err) : WrongArguments(argv[1], err);
    if (cmd == "sx-read")
        return nargs == 1 ? CmdSxRead(args[0], out, err) : WrongArguments(argv[1], err);
    if (cmd == "sx-write")
        return nargs == 2 ? CmdSxWrite(args[0], args[1], err) : WrongArguments(argv[1], err);
    std::fprintf(err, "fpgactl: unknown command '%s'\n", argv[1]);
    Usage(err);
    return kUsageError;
}

}  // namespace fpgactl
