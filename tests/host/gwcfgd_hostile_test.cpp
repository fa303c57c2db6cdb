// gwcfgd against hostile neighbours: a second daemon or another process on
// its port, links planted where it writes, a state directory other accounts
// can write, an inherited umask of 000, forged log lines.

#include "daemon_harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using gwdtest::Daemon;
using gwtest::FileExists;
using gwtest::ReadFile;
using gwtest::TempDir;
using gwtest::WriteFile;

namespace {

const char kMac[] = "02:00:5e:10:00:01";

class ScopedUmask {
public:
    explicit ScopedUmask(mode_t m) : old_(umask(m)) {}
    ~ScopedUmask() { umask(old_); }

private:
    mode_t old_;
};

mode_t ModeOf(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

bool IsLink(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// gwcfgd started to completion (it should refuse to start): its status and
// stderr.
int StartExpectingRefusal(const std::string &state_dir, int port, std::string *err) {
    return gwtest::RunProgram({gwdtest::DaemonPath(), "--mac", kMac, "--port",
                               std::to_string(port), "--state-dir", state_dir},
                              nullptr, err, 5000);
}

// An update that changes the server address, made from what the daemon
// answers now.
void SendAddressUpdate(Daemon &d, const std::string &address) {
    gwblock::BlockContents bc{};
    ASSERT_TRUE(gwdtest::Discover(d.port(), &bc)) << d.Log();
    std::string why;
    ASSERT_TRUE(gwblock::set_value(&bc, "gateway_conf.server_address", address, &why)) << why;
    gwdtest::SendUpdate(d.port(), d.mac(), bc);
}

// ---------------------------------------------------------------------------
// One daemon per port and state directory

TEST(GwcfgdSecondStart, FailsWithStatus1AndNamesTheHolder) {
    TempDir state, other_state;
    Daemon first(state.path(), {}, {}, kMac);
    ASSERT_TRUE(first.WaitReady()) << first.Log();
    const std::string holder = "process " + std::to_string(first.process().pid()) + " (gwcfgd)";

    struct Attempt {
        const char *what;
        std::string dir;
        int port;
        const char *message;
    } attempts[] = {
        {"same state directory and port", state.path(), first.port(), "is in use by "},
        {"same state directory, other port", state.path(), gwdtest::FreePort(), "is in use by "},
        {"same port, other state directory", other_state.path(), first.port(), "held by "},
    };
    for (const Attempt &a : attempts) {
        SCOPED_TRACE(a.what);
        std::string err;
        EXPECT_EQ(StartExpectingRefusal(a.dir, a.port, &err), 1) << err;
        EXPECT_NE(err.find(std::string(a.message) + holder), std::string::npos) << err;
        EXPECT_EQ(err.find("serving"), std::string::npos) << err;
    }
    // The first one still serves, and its state directory is untouched.
    EXPECT_TRUE(first.WaitReady(2000));
    EXPECT_TRUE(first.process().Running());
    EXPECT_EQ(ReadFile(state.file("gwcfgd.lock")),
              std::to_string(first.process().pid()) + "\n");
}

// Another local process cannot bind the daemon's port, whatever options it
// sets, on the daemon's address or on the wildcard address.
TEST(GwcfgdSecondStart, NoOtherProcessCanTakeThePort) {
    TempDir state;
    Daemon d(state.path(), {}, {}, kMac);
    ASSERT_TRUE(d.WaitReady()) << d.Log();
    for (const char *ip : {"127.0.0.1", "0.0.0.0"}) {
        for (const int option : {SO_REUSEADDR, SO_REUSEPORT}) {
            SCOPED_TRACE(std::string(ip) + (option == SO_REUSEADDR ? " SO_REUSEADDR" : " SO_REUSEPORT"));
            const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            ASSERT_GE(fd, 0);
            int one = 1;
            setsockopt(fd, SOL_SOCKET, option, &one, sizeof one);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(d.port()));
            inet_pton(AF_INET, ip, &a.sin_addr);
            const int rc = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
            const int err = errno;
            close(fd);
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(err, EADDRINUSE);
        }
    }
}

// ---------------------------------------------------------------------------
// The state directory

class GwcfgdUnsafeStateDir : public ::testing::TestWithParam<mode_t> {};

TEST_P(GwcfgdUnsafeStateDir, IsRefusedAtStartWithAHint) {
    TempDir base;
    const std::string dir = base.file("state");
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    ASSERT_EQ(chmod(dir.c_str(), GetParam()), 0);
    std::string err;
    EXPECT_EQ(StartExpectingRefusal(dir, gwdtest::FreePort(), &err), 1) << err;
    EXPECT_NE(err.find("can be written by other accounts"), std::string::npos) << err;
    EXPECT_NE(err.find("chmod go-w " + dir), std::string::npos) << err;
    // Nothing was written there.
    EXPECT_FALSE(FileExists(dir + "/global_conf.json"));
    EXPECT_FALSE(FileExists(dir + "/gwcfgd.lock"));
}

INSTANTIATE_TEST_SUITE_P(Modes, GwcfgdUnsafeStateDir, ::testing::Values(0777, 0775, 0757, 01777),
                         [](const auto &info) {
                             char name[16];
                             snprintf(name, sizeof name, "Mode%04o", info.param);
                             return std::string(name);
                         });

TEST(GwcfgdStateDirOwner, AnotherAccountsDirectoryIsRefused) {
    if (geteuid() != 0)
        GTEST_SKIP() << "giving a directory to another account needs root";
    TempDir base;
    const std::string dir = base.file("state");
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(chown(dir.c_str(), 65534, 65534), 0);
    std::string err;
    EXPECT_EQ(StartExpectingRefusal(dir, gwdtest::FreePort(), &err), 1) << err;
    EXPECT_NE(err.find("belongs to another account (uid 65534)"), std::string::npos) << err;
}

// ---------------------------------------------------------------------------
// Files

class GwcfgdFiles : public ::testing::Test {
protected:
    void SetUp() override { gwdtest::WriteFixtureSiteScripts(state.path()); }
    TempDir state;
    TempDir elsewhere;  // a file someone wants the daemon to overwrite
};

// A link planted where the stored block is written next is neither
// followed nor renamed into place: the old fixed name is no longer used,
// and the daemon's own name is refused when something stands there.
TEST_F(GwcfgdFiles, PlantedLinkIsNeitherFollowedNorKept) {
    const std::string victim = elsewhere.file("victim");
    WriteFile(victim, "precious\n", 0644);
    Daemon d(state.path(), {}, {}, kMac);
    ASSERT_TRUE(d.WaitReady()) << d.Log();

    ASSERT_EQ(symlink(victim.c_str(), state.file("gwcfgd.block.tmp").c_str()), 0);
    SendAddressUpdate(d, "first.example");
    ASSERT_TRUE(d.WaitLog("update applied: revision 1")) << d.Log();
    EXPECT_EQ(ReadFile(victim), "precious\n");
    EXPECT_FALSE(IsLink(state.file("gwcfgd.block")));
    EXPECT_TRUE(IsLink(state.file("gwcfgd.block.tmp")));  // left alone

    const std::string own = state.file("gwcfgd.block.tmp." + std::to_string(d.process().pid()));
    ASSERT_EQ(symlink(victim.c_str(), own.c_str()), 0);
    SendAddressUpdate(d, "second.example");
    ASSERT_TRUE(d.WaitLog("update refused: cannot create gwcfgd.block.tmp.")) << d.Log();
    EXPECT_EQ(ReadFile(victim), "precious\n");
    EXPECT_FALSE(IsLink(state.file("gwcfgd.block")));
    gwblock::BlockContents stored{};
    std::string why;
    ASSERT_TRUE(gwdtest::ReadStoredBlock(state.path(), &stored, &why)) << why;
    EXPECT_EQ(stored.revision, 1u);
    EXPECT_STREQ(stored.gw.gateway_conf.server_address, "first.example");
}

// Under an inherited umask of 000 nothing the daemon creates is writable
// by others, and a global_conf.json that was loses the write bits.
TEST_F(GwcfgdFiles, InheritedUmaskDoesNotMakeFilesWritableByOthers) {
    WriteFile(state.file("global_conf.json"), "{}\n", 0666);
    ASSERT_EQ(chmod(state.file("global_conf.json").c_str(), 0666), 0);
    std::unique_ptr<Daemon> d;
    {
        ScopedUmask open_mask(0);
        d = std::make_unique<Daemon>(state.path(), std::vector<std::string>{},
                                     std::vector<std::string>{}, kMac);
    }
    ASSERT_TRUE(d->WaitReady()) << d->Log();
    SendAddressUpdate(*d, "umask.example");
    ASSERT_TRUE(d->WaitLog("update applied: revision 1")) << d->Log();
    for (const char *name : {"gwcfgd.block", "gwcfgd.lock"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(ModeOf(state.file(name)), 0640u);
    }
    EXPECT_EQ(ModeOf(state.file("global_conf.json")), 0644u);
}

// What a killed daemon left between create and rename goes at the next
// start, in the state directory and where global_conf.json's link points;
// nothing else does.
TEST_F(GwcfgdFiles, StaleTemporaryFilesAreRemovedAtStart) {
    ASSERT_EQ(mkdir(elsewhere.file("fwd").c_str(), 0755), 0);
    WriteFile(elsewhere.file("fwd/global_conf.json"), "{}\n");
    ASSERT_EQ(symlink(elsewhere.file("fwd/global_conf.json").c_str(),
                      state.file("global_conf.json").c_str()),
              0);
    const std::vector<std::string> stale = {
        state.file("gwcfgd.block.tmp"), state.file("gwcfgd.block.tmp.4242"),
        state.file(".global_conf.json.4242.1a2b3c"), elsewhere.file("fwd/.global_conf.json.77.ff")};
    const std::vector<std::string> kept = {state.file("gwcfgd.block.tmpfile"),
                                           state.file("notes.txt"), elsewhere.file("fwd/other")};
    for (const auto &f : stale)
        WriteFile(f, "half");
    for (const auto &f : kept)
        WriteFile(f, "keep");

    Daemon d(state.path(), {}, {}, kMac);
    ASSERT_TRUE(d.WaitReady()) << d.Log();
    for (const auto &f : stale)
        EXPECT_FALSE(FileExists(f)) << f;
    for (const auto &f : kept)
        EXPECT_EQ(ReadFile(f), "keep") << f;
    EXPECT_EQ(gwdtest::Count(d.Log(), "left by an earlier run"), stale.size()) << d.Log();
    EXPECT_TRUE(IsLink(state.file("global_conf.json")));
}

// ---------------------------------------------------------------------------
// Logs

// Bytes from the network that are not printable ASCII reach the log as
// \xNN: a command text cannot forge a daemon line or clear a terminal.
TEST(GwcfgdLog, CommandTextCannotForgeALine) {
    TempDir state;
    Daemon d(state.path(), {}, {}, kMac);
    ASSERT_TRUE(d.WaitReady()) << d.Log();
    for (const std::string text : {"\ngwcfgd: OK\n", "\x1b[2J\x1b[H"}) {
        uint8_t dgram[MESSAGE_COMMAND_LEN] = {};
        memcpy(dgram + 34, d.mac(), 6);
        memcpy(dgram + 40, text.data(), text.size());  // up to 12 bytes, no NUL needed
        gwdtest::Udp udp;
        udp.Send("127.0.0.1", d.port(), dgram, sizeof dgram);
    }
    ASSERT_TRUE(d.WaitLog("\\x1B[2J\\x1B[H, len = 7")) << d.Log();
    const std::string log = d.Log();
    EXPECT_NE(log.find("\\x0Agwcfgd: OK\\x0A, len = 12"), std::string::npos) << log;
    for (const std::string &line : gwtest::SplitLines(log))
        EXPECT_NE(line, "gwcfgd: OK");
    EXPECT_EQ(log.find('\x1b'), std::string::npos);
}

}  // namespace
