// fpgactl: its commands run in-process against the simulated spidev, and the
// built program for what it must refuse before any device is touched.

#include "fpgactl_cli.h"
#include "sim_fixture.h"
#include "test_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

extern char **environ;

namespace {

struct CliResult {
    int status = -1;
    std::string out;
    std::string err;
};

CliResult RunCli(const std::vector<std::string> &args) {
    std::vector<std::string> words = {"fpgactl"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);

    char *out_buf = nullptr, *err_buf = nullptr;
    size_t out_len = 0, err_len = 0;
    std::FILE *out = open_memstream(&out_buf, &out_len);
    std::FILE *err = open_memstream(&err_buf, &err_len);
    CliResult r;
    r.status = fpgactl::Run(static_cast<int>(words.size()), argv.data(), out, err);
    std::fclose(out);
    std::fclose(err);
    r.out.assign(out_buf, out_len);
    r.err.assign(err_buf, err_len);
    std::free(out_buf);
    std::free(err_buf);
    return r;
}

using Setup = std::function<void(spisim::State &)>;
using Check = std::function<void(const spisim::State &)>;

struct CliCase {
    const char *name;
    std::vector<std::string> args;
    Setup setup;
    int status;
    std::string out;      // exact
    std::string err_has;  // a part of the message; empty: no message at all
    int opens;            // successful opens of the device
    Check check;
};
// Printed by name: the raw bytes gtest would show include padding.
void PrintTo(const CliCase &p, std::ostream *os) { *os << p.name; }

class Fpgactl : public SimTest, public ::testing::WithParamInterface<CliCase> {};

TEST_P(Fpgactl, ConnectsActsAndDisconnects) {
    const CliCase &c = GetParam();
    if (c.setup) c.setup(sim());
    const CliResult r = RunCli(c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out, c.out);
    if (c.err_has.empty()) {
        EXPECT_EQ(r.err, "");
    } else {
        EXPECT_NE(r.err.find(c.err_has), std::string::npos) << r.err;
    }
    EXPECT_EQ(sim().opens, c.opens);
    EXPECT_EQ(spi_target, nullptr) << "fpgactl left the link open";
    if (c.check) c.check(sim());
}

const char kDump[] =
    "FPGA_REG_0x00    = 0x0 (0)\n"
    "FPGA_REG_VERSION = 0x12 (18)\n"
    "FPGA_REG_0x02    = 0x00 (0)\n"
    "FPGA_REG_0x03    = 0x5A (90)\n"
    "FPGA_REG_0x04    = 0x00 (0)\n"
    "FPGA_REG_0x05    = 0x00 (0)\n"
    "FPGA_REG_0x06    = 0x7D00 (32000)\n"
    "FPGA_REG_0x08    = 0x03E8 (1000)\n"
    "FPGA_REG_0x0A    = 0xF2345678 (4063516280)\n"
    "FPGA_REG_0x7F    = 0x00 (0)\n";

void DumpDevice(spisim::State &s) {
    s.fpga[0x00] = 0xFE;
    s.fpga[0x03] = 0x5A;
    s.fpga[0x0A] = 0x78;
    s.fpga[0x0B] = 0x56;
    s.fpga[0x0C] = 0x34;
    s.fpga[0x0D] = 0xF2;
}

INSTANTIATE_TEST_SUITE_P(
    Commands, Fpgactl,
    ::testing::Values(
        CliCase{"Version", {"version"}, nullptr, 0, "FPGA version 0x12\n", "", 1, nullptr},
        CliCase{"VersionWrong", {"version"}, [](spisim::State &s) { s.fpga[0x01] = 0x11; }, 1, "",
                "FPGA version 0x11, expected 0x12", 1, nullptr},
        CliCase{"VersionUnreadable", {"version"},
                [](spisim::State &s) { s.faults.fail_message = 0; }, 1, "",
                "cannot read the FPGA version register", 1, nullptr},
        CliCase{"NoDevice", {"version"}, [](spisim::State &s) { s.faults.open_errno = ENOENT; }, 1,
                "", "cannot open /dev/spidev0.0: No such file or directory", 0, nullptr},
        CliCase{"ReadByIndex", {"read", "6"}, nullptr, 0, "FPGA_REG_0x06 = 0x7D00 (32000)\n", "", 1,
                nullptr},
        CliCase{"ReadByName", {"read", "FPGA_REG_VERSION"}, nullptr, 0,
                "FPGA_REG_VERSION = 0x12 (18)\n", "", 1, nullptr},
        CliCase{"ReadByShortName", {"read", "version"}, nullptr, 0, "FPGA_REG_VERSION = 0x12 (18)\n",
                "", 1, nullptr},
        CliCase{"ReadByAddressName", {"read", "0x08"}, nullptr, 0, "FPGA_REG_0x08 = 0x03E8 (1000)\n",
                "", 1, nullptr},
        CliCase{"ReadBit", {"read", "0"}, [](spisim::State &s) { s.fpga[0x00] = 0xFF; }, 0,
                "FPGA_REG_0x00 = 0x1 (1)\n", "", 1, nullptr},
        CliCase{"ReadUnknownIndex", {"read", "10"}, nullptr, 2, "", "no register with index 10", 0,
                nullptr},
        CliCase{"ReadUnknownName", {"read", "0x07"}, nullptr, 2, "", "unknown register '0x07'", 0,
                nullptr},
        CliCase{"ReadFails", {"read", "3"}, [](spisim::State &s) { s.faults.fail_message = 1; }, 1,
                "", "reading FPGA_REG_0x03 failed", 1, nullptr},
        CliCase{"WriteByte", {"write", "3", "0x5A"}, nullptr, 0, "", "", 1,
                [](const spisim::State &s) { EXPECT_EQ(s.fpga[0x03], 0x5A); }},
        CliCase{"WriteWide", {"write", "FPGA_REG_0x06", "40000"}, nullptr, 0, "", "", 1,
                [](const spisim::State &s) {
                    EXPECT_EQ(s.fpga[0x06], 0x40);
                    EXPECT_EQ(s.fpga[0x07], 0x9C);
                }},
        CliCase{"WriteBit", {"write", "0", "1"}, [](spisim::State &s) { s.fpga[0x00] = 0xF0; }, 0, "",
                "", 1, [](const spisim::State &s) { EXPECT_EQ(s.fpga[0x00], 0xF1); }},
        CliCase{"WriteReadOnly", {"write", "VERSION", "1"}, nullptr, 2, "",
                "FPGA_REG_VERSION is read-only", 0, nullptr},
        CliCase{"WriteByteOutOfRange", {"write", "3", "256"}, nullptr, 2, "",
                "value 256 is out of range for FPGA_REG_0x03 (0 to 255)", 0, nullptr},
        CliCase{"WriteBitOutOfRange", {"write", "0", "2"}, nullptr, 2, "", "(0 to 1)", 0, nullptr},
        CliCase{"WriteNegative", {"write", "4", "-1"}, nullptr, 2, "", "out of range", 0, nullptr},
        CliCase{"WriteWideOutOfRange", {"write", "0x06", "0x10000"}, nullptr, 2, "",
                "(0 to 65535)", 0, nullptr},
        CliCase{"WriteNotANumber", {"write", "3", "12abc"}, nullptr, 2, "", "'12abc' is not a number",
                0, nullptr},
        CliCase{"WriteOctalLooking", {"write", "3", "010"}, nullptr, 0, "", "", 1,
                [](const spisim::State &s) { EXPECT_EQ(s.fpga[0x03], 10); }},
        CliCase{"WriteFails", {"write", "3", "1"}, [](spisim::State &s) { s.faults.fail_message = 1; },
                1, "", "writing FPGA_REG_0x03 failed", 1, nullptr},
        CliCase{"Dump", {"dump"}, DumpDevice, 0, kDump, "", 1, nullptr},
        CliCase{"DumpWithAFailingRead", {"dump"},
                [](spisim::State &s) { s.faults.fail_message = 3; }, 1,
                "FPGA_REG_0x00    = 0x0 (0)\n"
                "FPGA_REG_VERSION = 0x12 (18)\n"
                "FPGA_REG_0x03    = 0x00 (0)\n"
                "FPGA_REG_0x04    = 0x00 (0)\n"
                "FPGA_REG_0x05    = 0x00 (0)\n"
                "FPGA_REG_0x06    = 0x7D00 (32000)\n"
                "FPGA_REG_0x08    = 0x03E8 (1000)\n"
                "FPGA_REG_0x0A    = 0x00000000 (0)\n"
                "FPGA_REG_0x7F    = 0x00 (0)\n",
                "reading FPGA_REG_0x02 failed", 1, nullptr},
        CliCase{"SxRead", {"sx-read", "0x42"}, nullptr, 0, "SX1272 0x42 = 0x22 (34)\n", "", 1, nullptr},
        CliCase{"SxWrite", {"sx-write", "0x01", "0x81"}, nullptr, 0, "", "", 1,
                [](const spisim::State &s) {
                    EXPECT_EQ(s.sx1272[0x01], 0x81);
                    EXPECT_EQ(s.fpga[0x01], 0x12);
                }},
        CliCase{"SxAddressOutOfRange", {"sx-read", "0x80"}, nullptr, 2, "",
                "SX1272 address 0x80 is out of range (0 to 0x7F)", 0, nullptr},
        CliCase{"SxValueOutOfRange", {"sx-write", "1", "256"}, nullptr, 2, "", "(0 to 255)", 0,
                nullptr},
        CliCase{"SxReadFails", {"sx-read", "1"}, [](spisim::State &s) { s.faults.short_message = 1; },
                1, "", "reading SX1272 register 0x01 failed", 1, nullptr},
        CliCase{"NoCommand", {}, nullptr, 2, "", "usage: fpgactl", 0, nullptr},
        CliCase{"UnknownCommand", {"frob"}, nullptr, 2, "", "unknown command 'frob'", 0, nullptr},
        CliCase{"MissingArgument", {"read"}, nullptr, 2, "", "wrong number of arguments for 'read'", 0,
                nullptr},
        CliCase{"ExtraArgument", {"version", "now"}, nullptr, 2, "",
                "wrong number of arguments for 'version'", 0, nullptr}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(SimTest, FpgactlHelpGoesToStandardOutput) {
    const CliResult r = RunCli({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("usage: fpgactl", 0), 0u) << r.out;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sim().opens, 0);
}

// ---- the built program ---------------------------------------------------------

CliResult RunBinary(const std::vector<std::string> &args) {
    gwtest::TempDir dir;
    const std::string out_path = dir.file("out"), err_path = dir.file("err");
    std::vector<std::string> words = {FPGACTL_BINARY};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    CliResult r;
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        ADD_FAILURE() << "cannot start " << argv[0];
        return r;
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    r.out = gwtest::ReadFile(out_path);
    r.err = gwtest::ReadFile(err_path);
    return r;
}

// Starting the program takes a machine that runs it: not a cross build
// whose tests run under an emulator.
#define SKIP_UNLESS_BINARY_RUNS()                                                          \
    do {                                                                                   \
        if (!GW_CAN_EXEC_TARGET)                                                           \
            GTEST_SKIP()                                                                   \
                << "this machine cannot start the target's programs (cross build without " \
                   "binfmt_misc): the built fpgactl is not run";                           \
    } while (0)

TEST(FpgactlBinary, RefusesBadInputBeforeTouchingAnyDevice) {
    SKIP_UNLESS_BINARY_RUNS();
    struct Case {
        std::vector<std::string> args;
        const char *err_has;
    };
    const Case cases[] = {
        {{}, "usage: fpgactl"},
        {{"write", "FPGA_REG_VERSION", "0x12"}, "FPGA_REG_VERSION is read-only"},
        {{"write", "3", "0x100"}, "out of range"},
        {{"sx-read", "200"}, "out of range"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.err_has);
        const CliResult r = RunBinary(c.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(c.err_has), std::string::npos) << r.err;
    }
}

TEST(FpgactlBinary, ReportsAMissingDevice) {
    SKIP_UNLESS_BINARY_RUNS();
    if (access(spisim::kDevicePath, F_OK) == 0)
        GTEST_SKIP() << spisim::kDevicePath << " exists here: not touching real hardware";
    const CliResult r = RunBinary({"version"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("fpgactl: cannot open /dev/spidev0.0: "), std::string::npos) << r.err;
}

}  // namespace
