// gwcfgd as a process on loopback: updates applied, stored and rewritten
// into global_conf.json, refused updates that change nothing, start-up from
// the stored block, from a profile, or past a corrupt stored block.

#include "daemon_harness.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <dirent.h>
#include <string>
#include <vector>

using gwdtest::Daemon;
using gwtest::FileExists;
using gwtest::ReadFile;
using gwtest::TempDir;
using gwtest::WriteFile;

namespace {

const std::string kProfiles = GW_PROFILES_DIR;

std::vector<std::string> CorruptCopies(const std::string &dir) {
    std::vector<std::string> out;
    DIR *d = opendir(dir.c_str());
    while (const dirent *e = readdir(d)) {
        if (strncmp(e->d_name, "gwcfgd.block.corrupt-", 21) == 0)
            out.push_back(e->d_name);
    }
    closedir(d);
    return out;
}

// A state directory with site scripts that report fixed addresses.
class GwcfgdState : public ::testing::Test {
protected:
    void SetUp() override { gwdtest::WriteFixtureSiteScripts(state.path()); }

    gwblock::BlockContents Current(Daemon &d) {
        gwblock::BlockContents bc{};
        EXPECT_TRUE(gwdtest::Discover(d.port(), &bc)) << d.Log();
        return bc;
    }

    TempDir state;
};

TEST_F(GwcfgdState, AppliedUpdateIsStoredWrittenOutAndSurvivesARestart) {
    gwblock::BlockContents before{};
    {
        Daemon d(state.path());
        ASSERT_TRUE(d.WaitReady()) << d.Log();
        before = Current(d);
        EXPECT_EQ(before.revision, 0u);
        // The live settings come from the site scripts in the state dir.
        EXPECT_EQ(before.eqp.ip, 0x0A010203u);
        EXPECT_EQ(before.eqp.gateway, 0x0A010001u);

        gwblock::BlockContents next = before;
        std::string why;
        ASSERT_TRUE(gwblock::set_value(&next, "gateway_conf.server_address", "eu1.example.net", &why));
        ASSERT_TRUE(gwblock::set_value(&next, "serverIP_conf.fixed_ip", "10.9.8.7", &why));
        gwdtest::SendUpdate(d.port(), d.mac(), next);
        ASSERT_TRUE(d.WaitLog("gwcfgd: update applied: revision 1")) << d.Log();
        EXPECT_NE(d.Log().find("gateway_conf.server_address"), std::string::npos);

        const gwblock::BlockContents after = Current(d);
        EXPECT_EQ(after.revision, 1u);
        EXPECT_STREQ(after.gw.gateway_conf.server_address, "eu1.example.net");
        EXPECT_EQ(after.eqp.fixed_ip, 0x0A090807u);

        Json::Value conf;
        ASSERT_TRUE(gwdtest::ReadGlobalConf(state.path(), &conf));
        EXPECT_EQ(conf["gateway_conf"]["server_address"].asString(), "eu1.example.net");
        EXPECT_EQ(conf["serverIP_conf"]["fixed_ip"].asString(), "10.9.8.7");

        gwblock::BlockContents stored;
        ASSERT_TRUE(gwdtest::ReadStoredBlock(state.path(), &stored, &why)) << why;
        EXPECT_EQ(stored.revision, 1u);
        EXPECT_EQ(d.Stop(), 0);
    }
    // A fresh global_conf.json is written at start; remove the old one to
    // see that it comes from the stored block.
    unlink(state.file("global_conf.json").c_str());
    Daemon again(state.path());
    ASSERT_TRUE(again.WaitReady()) << again.Log();
    const gwblock::BlockContents restored = Current(again);
    EXPECT_EQ(restored.revision, 1u);
    EXPECT_STREQ(restored.gw.gateway_conf.server_address, "eu1.example.net");
    EXPECT_NE(again.Log().find("configuration revision 1 taken from gwcfgd.block"),
              std::string::npos);
    Json::Value conf;
    ASSERT_TRUE(gwdtest::ReadGlobalConf(state.path(), &conf));
    EXPECT_EQ(conf["gateway_conf"]["server_address"].asString(), "eu1.example.net");
}

// Each refused update leaves revision, stored block and global_conf.json
// exactly as they were, with one log line that says why.
struct Refusal {
    const char *name;
    std::function<void(gwblock::BlockContents *bc, uint8_t block[1024])> spoil;
    const char *reason;
};

class GwcfgdRefusesUpdate : public GwcfgdState, public ::testing::WithParamInterface<Refusal> {};

TEST_P(GwcfgdRefusesUpdate, AndChangesNothing) {
    Daemon d(state.path());
    ASSERT_TRUE(d.WaitReady()) << d.Log();
    // Revision 1 first, so that both older and newer revisions are stale.
    gwblock::BlockContents bc = Current(d);
    gwdtest::SendUpdate(d.port(), d.mac(), bc);
    ASSERT_TRUE(d.WaitLog("update applied: revision 1")) << d.Log();
    const std::string conf_before = ReadFile(state.file("global_conf.json"));
    const std::string block_before = ReadFile(state.file("gwcfgd.block"));

    bc = Current(d);
    std::string why;
    ASSERT_TRUE(gwblock::set_value(&bc, "gateway_conf.server_address", "refused.example", &why));
    uint8_t block[1024];
    gwblock::encode(bc, block);
    GetParam().spoil(&bc, block);
    gwdtest::SendRawUpdate(d.port(), d.mac(), block);
    ASSERT_TRUE(d.WaitLog("gwcfgd: update refused: ")) << d.Log();
    EXPECT_NE(d.Log().find(GetParam().reason), std::string::npos) << d.Log();
    EXPECT_EQ(gwdtest::Count(d.Log(), "update refused"), 1u);

    EXPECT_EQ(Current(d).revision, 1u);
    EXPECT_STRNE(Current(d).gw.gateway_conf.server_address, "refused.example");
    EXPECT_EQ(ReadFile(state.file("global_conf.json")), conf_before);
    EXPECT_EQ(ReadFile(state.file("gwcfgd.block")), block_before);
}

void Reencode(gwblock::BlockContents *bc, uint8_t block[1024]) { gwblock::encode(*bc, block); }

INSTANTIATE_TEST_SUITE_P(
    Updates, GwcfgdRefusesUpdate,
    ::testing::Values(
        Refusal{"OlderRevision",
                [](gwblock::BlockContents *bc, uint8_t *b) { bc->revision = 0; Reencode(bc, b); },
                "made from revision 0 but the configuration is at revision 1"},
        Refusal{"NewerRevision",
                [](gwblock::BlockContents *bc, uint8_t *b) { bc->revision = 2; Reencode(bc, b); },
                "made from revision 2 but the configuration is at revision 1"},
        Refusal{"BadCrc", [](gwblock::BlockContents *, uint8_t *b) { b[600] ^= 0x40; }, "bad CRC"},
        Refusal{"BadMagic", [](gwblock::BlockContents *, uint8_t *b) { b[0] = 'X'; }, "bad magic"},
        Refusal{"RadioIndexTwo",
                [](gwblock::BlockContents *bc, uint8_t *b) {
                    bc->gw.chan_multiSF[3].radio = 2;
                    Reencode(bc, b);
                },
                "SX1301_conf.chan_multiSF_3.radio"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(GwcfgdState, UpdateThatCannotBeStoredIsRefused) {
    Daemon d(state.path());
    ASSERT_TRUE(d.WaitReady()) << d.Log();
    // A directory where the temporary file must go (its name carries the
    // daemon's pid): the store fails even for root.
    ASSERT_EQ(mkdir(state.file("gwcfgd.block.tmp." + std::to_string(d.process().pid())).c_str(),
                    0755),
              0);
    gwblock::BlockContents bc = Current(d);
    std::string why;
    ASSERT_TRUE(gwblock::set_value(&bc, "gateway_conf.server_address", "lost.example", &why));
    gwdtest::SendUpdate(d.port(), d.mac(), bc);
    ASSERT_TRUE(d.WaitLog("gwcfgd: update refused: cannot create gwcfgd.block.tmp")) << d.Log();
    const gwblock::BlockContents now = Current(d);
    EXPECT_EQ(now.revision, 0u);
    EXPECT_STRNE(now.gw.gateway_conf.server_address, "lost.example");
    EXPECT_FALSE(FileExists(state.file("gwcfgd.block")));
    Json::Value conf;
    ASSERT_TRUE(gwdtest::ReadGlobalConf(state.path(), &conf));
    EXPECT_NE(conf["gateway_conf"]["server_address"].asString(), "lost.example");
}

// A stored block that cannot be used: factory defaults, one log line, the
// file kept aside byte for byte.
struct Corruption {
    const char *name;
    std::function<std::string()> content;
    const char *fault;
};

std::string ValidBlockWith(const std::function<void(gwblock::BlockContents *)> &change,
                           const std::function<void(uint8_t *)> &spoil = nullptr) {
    gwblock::BlockContents bc{};
    bc.revision = 7;
    change(&bc);
    uint8_t block[1024];
    gwblock::encode(bc, block);
    if (spoil)
        spoil(block);
    return std::string(reinterpret_cast<char *>(block), sizeof block);
}

class GwcfgdCorruptStore : public GwcfgdState, public ::testing::WithParamInterface<Corruption> {};

TEST_P(GwcfgdCorruptStore, StartsFromDefaultsAndKeepsTheFileAside) {
    const std::string bad = GetParam().content();
    WriteFile(state.file("gwcfgd.block"), bad);
    Daemon d(state.path(), {"--profile", kProfiles + "/eu868.json"});
    ASSERT_TRUE(d.WaitReady()) << d.Log();
    const std::string log = d.Log();
    EXPECT_EQ(gwdtest::Count(log, "is corrupt"), 1u) << log;
    EXPECT_NE(log.find(GetParam().fault), std::string::npos) << log;
    const gwblock::BlockContents now = Current(d);
    EXPECT_EQ(now.revision, 0u);
    EXPECT_EQ(now.gw.radios[0].freq, 867500000u);  // the profile's

    EXPECT_FALSE(FileExists(state.file("gwcfgd.block")));
    const std::vector<std::string> aside = CorruptCopies(state.path());
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_NE(log.find("kept as " + aside[0]), std::string::npos) << log;
    EXPECT_EQ(ReadFile(state.file(aside[0])), bad);
    Json::Value conf;
    ASSERT_TRUE(gwdtest::ReadGlobalConf(state.path(), &conf));
    EXPECT_EQ(conf["SX1301_conf"]["radio_0"]["freq"].asUInt(), 867500000u);

    // A second bad file later is kept beside the first, not over it.
    EXPECT_EQ(d.Stop(), 0);
    WriteFile(state.file("gwcfgd.block"), "x");
    Daemon again(state.path());
    ASSERT_TRUE(again.WaitReady()) << again.Log();
    EXPECT_EQ(CorruptCopies(state.path()).size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Start, GwcfgdCorruptStore,
    ::testing::Values(
        Corruption{"Empty", [] { return std::string(); }, "holds 0 bytes, not 1024"},
        Corruption{"Truncated", [] { return ValidBlockWith([](auto *) {}).substr(0, 600); },
                   "holds 600 bytes, not 1024"},
        Corruption{"TooLong", [] { return ValidBlockWith([](auto *) {}) + "z"; },
                   "longer than 1024 bytes"},
        Corruption{"FlippedBit",
                   [] { return ValidBlockWith([](auto *) {}, [](uint8_t *b) { b[500] ^= 1; }); },
                   "bad CRC"},
        Corruption{"ValidCrcBadField",
                   [] {
                       return ValidBlockWith(
                           [](gwblock::BlockContents *bc) { bc->gw.chan_FSK.radio = 9; });
                   },
                   "SX1301_conf.chan_FSK.radio"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(GwcfgdState, StaleTemporaryFileIsRemovedAtStart) {
    WriteFile(state.file("gwcfgd.block.tmp"), "half a block");
    Daemon d(state.path());
    ASSERT_TRUE(d.WaitReady()) << d.Log();
    EXPECT_FALSE(FileExists(state.file("gwcfgd.block.tmp")));
    EXPECT_TRUE(CorruptCopies(state.path()).empty());
}

// The shipped profiles load and reach global_conf.json when nothing is
// stored; a stored block wins over the profile.
struct ProfileCase {
    const char *file;
    uint32_t radio0_freq;
    uint32_t radio1_freq;
    uint32_t lora_std_bandwidth;
};

class GwcfgdProfile : public GwcfgdState, public ::testing::WithParamInterface<ProfileCase> {};

TEST_P(GwcfgdProfile, AppliesOverTheDefaultsUntilAConfigurationIsStored) {
    const std::string profile = kProfiles + "/" + GetParam().file;
    {
        Daemon d(state.path(), {"--profile", profile});
        ASSERT_TRUE(d.WaitReady()) << d.Log();
        EXPECT_NE(d.Log().find("starting from the factory defaults and the profile"),
                  std::string::npos);
        Json::Value conf;
        ASSERT_TRUE(gwdtest::ReadGlobalConf(state.path(), &conf));
        const Json::Value &sx = conf["SX1301_conf"];
        EXPECT_EQ(sx["radio_0"]["freq"].asUInt(), GetParam().radio0_freq);
        EXPECT_EQ(sx["radio_1"]["freq"].asUInt(), GetParam().radio1_freq);
        EXPECT_EQ(sx["chan_Lora_std"]["bandwidth"].asUInt(), GetParam().lora_std_bandwidth);
        EXPECT_TRUE(sx["lorawan_public"].asBool());
        EXPECT_EQ(conf["gateway_conf"]["serv_port_up"].asInt(), 1680);
        // The device name and fixed settings keep their factory values.
        EXPECT_EQ(conf["serverIP_conf"]["server_name"].asString(), "DeviceName12345");

        gwblock::BlockContents bc = Current(d);
        bc.gw.radios[0].freq = 868100000;
        gwdtest::SendUpdate(d.port(), d.mac(), bc);
        ASSERT_TRUE(d.WaitLog("update applied")) << d.Log();
    }
    Daemon again(state.path(), {"--profile", profile});
    ASSERT_TRUE(again.WaitReady()) << again.Log();
    EXPECT_EQ(Current(again).gw.radios[0].freq, 868100000u);
}

INSTANTIATE_TEST_SUITE_P(Shipped, GwcfgdProfile,
                         ::testing::Values(ProfileCase{"eu868.json", 867500000, 868500000, 250000},
                                           ProfileCase{"us915.json", 902700000, 903400000, 500000}),
                         [](const auto &info) {
                             std::string n = info.param.file;
                             return n.substr(0, n.find('.'));
                         });

struct BadProfile {
    const char *name;
    const char *content;  // null: no such file
    const char *message;
};

class GwcfgdBadProfile : public ::testing::TestWithParam<BadProfile> {};

TEST_P(GwcfgdBadProfile, RefusesToStartWithStatus2) {
    TempDir dir;
    const std::string path = dir.file("profile.json");
    if (GetParam().content)
        WriteFile(path, GetParam().content);
    std::string out, err;
    EXPECT_EQ(gwtest::RunProgram({gwdtest::DaemonPath(), "--mac", "02:00:00:00:00:01",
                                  "--port", std::to_string(gwdtest::FreePort()),
                                  "--state-dir", dir.path(), "--profile", path},
                                 &out, &err, 10000),
              2);
    EXPECT_NE(err.find(GetParam().message), std::string::npos) << err;
    EXPECT_FALSE(FileExists(dir.file("global_conf.json")));
}

INSTANTIATE_TEST_SUITE_P(
    Start, GwcfgdBadProfile,
    ::testing::Values(
        BadProfile{"Missing", nullptr, "cannot read profile"},
        BadProfile{"NotJson", "{ \"gateway_conf\": ", "is not JSON"},
        BadProfile{"UnknownKey", "{ \"gateway_conf\": { \"server_adress\": \"x\" } }",
                   "server_adress"},
        BadProfile{"BadValue", "{ \"SX1301_conf\": { \"chan_FSK\": { \"radio\": 3 } } }",
                   "SX1301_conf.chan_FSK.radio"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(GwcfgdStateDir, MissingDirectoryIsAStartError) {
    TempDir dir;
    std::string err;
    EXPECT_EQ(gwtest::RunProgram({gwdtest::DaemonPath(), "--mac", "02:00:00:00:00:01", "--port",
                                  std::to_string(gwdtest::FreePort()), "--state-dir",
                                  dir.file("nowhere")},
                                 nullptr, &err, 10000),
              1);
    EXPECT_NE(err.find("cannot use state directory"), std::string::npos) << err;
}

}  // namespace
