// gwcfgd as a process on loopback: updates applied, stored and rewritten
// into global_conf.json, refused updates that change nothing, start-up from
// the stored block, from a profile, or past a corrupt stored block.

#include "daemon_harness.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <json/reader.h>

#include <cstring>
#include <dirent.h>
#include <memory>
#include <sstream>
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
        if (strncmp(e->d_name, "gwcfgd.block.corrupt-", 21) == 0) out.push_back(e->d_name);
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
        ASSERT_TRUE(
            gwblock::set_value(&next, "gateway_conf.server_address", "eu1.example.net", &why));
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
                [](gwblock::BlockContents *bc, uint8_t *b) {
                    bc->revision = 0;
                    Reencode(bc, b);
                },
                "made from revision 0 but the configuration is at revision 1"},
        Refusal{"NewerRevision",
                [](gwblock::BlockContents *bc, uint8_t *b) {
                    bc->revision = 2;
                    Reencode(bc, b);
                },
                "made from revision 2 but the configuration is at revision 1"},
        Refusal{"BadCrc",
                [](gwblock::BlockContents *, uint8_t *b) {
                    b[600] ^= 0x40;
                },
                "bad CRC"},
        Refusal{"BadMagic",
                [](gwblock::BlockContents *, uint8_t *b) {
                    b[0] = 'X';
                },
                "bad magic"},
        Refusal{"RadioIndexTwo",
                [](gwblock::BlockContents *bc, uint8_t *b) {
                    bc->gw.chan_multiSF[3].radio = 2;
                    Reencode(bc, b);
                },
                "SX1301_conf.chan_multiSF_3.radio"},
        // Blocks the layout carries but the forwarder would refuse.
        Refusal{
            "PushTimeout2000",
            [](gwblock::BlockContents *bc, uint8_t *b) {
                bc->gw.gateway_conf.push_timeout_ms = 2000;
                Reencode(bc, b);
            },
            "update refused: gateway_conf.push_timeout_ms=2000: must be 1..1999 ms; the forwarder"},
        Refusal{"EmptyServerAddress",
                [](gwblock::BlockContents *bc, uint8_t *b) {
                    bc->gw.gateway_conf.server_address[0] = '\0';
                    Reencode(bc, b);
                },
                "gateway_conf.server_address=\"\": must be a host name"},
        Refusal{
            "ChannelsOnADisabledRadio",
            [](gwblock::BlockContents *bc, uint8_t *b) {
                bc->gw.radios[1].enable = false;
                bc->gw.clksrc = 0;
                Reencode(bc, b);
            },
            "SX1301_conf.chan_multiSF_0.radio=1: must name an enabled radio while the channel is "
            "enabled (radio_1 is disabled)"}),
    [](const auto &info) {
        return std::string(info.param.name);
    });

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
    if (spoil) spoil(block);
    return std::string(reinterpret_cast<char *>(block), sizeof block);
}

class GwcfgdCorruptStore : public GwcfgdState, public ::testing::WithParamInterface<Corruption> {};

TEST_P(GwcfgdCorruptStore, StartsFromDefaultsAndKeepsTheFileAside) {
    const std::string bad = GetParam().content();
    WriteFile(state.file("gwcfgd.block"), bad);
    Daemon d(state.path(), gwdtest::ShippedProfiles("eu868"));
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
    ::testing::Values(Corruption{"Empty",
                                 [] {
                                     return std::string();
                                 },
                                 "holds 0 bytes, not 1024"},
                      Corruption{"Truncated",
                                 [] {
                                     return ValidBlockWith([](auto *) {}).substr(0, 600);
                                 },
                                 "holds 600 bytes, not 1024"},
                      Corruption{"TooLong",
                                 [] {
                                     return ValidBlockWith([](auto *) {}) + "z";
                                 },
                                 "longer than 1024 bytes"},
                      Corruption{"FlippedBit",
                                 [] {
                                     return ValidBlockWith([](auto *) {},
                                                           [](uint8_t *b) {
                                                               b[500] ^= 1;
                                                           });
                                 },
                                 "bad CRC"},
                      Corruption{"ValidCrcBadField",
                                 [] {
                                     return ValidBlockWith([](gwblock::BlockContents *bc) {
                                         bc->gw.chan_FSK.radio = 9;
                                     });
                                 },
                                 "SX1301_conf.chan_FSK.radio"}),
    [](const auto &info) {
        return std::string(info.param.name);
    });

// The keys of the shipped profiles over bc: a whole configuration.
void ApplyShippedProfiles(gwblock::BlockContents *bc, const std::string &region = "eu868") {
    for (const std::string &file : {region + ".json", std::string("site-defaults.json")}) {
        const std::string text = ReadFile(kProfiles + "/" + file);
        Json::CharReaderBuilder builder;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        Json::Value profile;
        std::string why;
        ASSERT_TRUE(reader->parse(text.data(), text.data() + text.size(), &profile, &why)) << why;
        ASSERT_TRUE(gwblock::apply_json_profile(profile, bc, &why)) << why;
    }
}

// Nothing stored and no profile: the gateway has nothing the forwarder could
// start with, so global_conf.json is left as it is (none is written where
// none exists) and one line says so. Discovery is answered all the same,
// with the gateway EUI derived from the MAC address; one key alone is judged
// with the rest of the configuration and refused, and one update carrying a
// whole configuration brings the gateway up.
class GwcfgdUnconfigured : public GwcfgdState, public ::testing::WithParamInterface<bool> {};

TEST_P(GwcfgdUnconfigured, LeavesGlobalConfAloneUntilAWholeConfigurationArrives) {
    const bool file_before = GetParam();
    const std::string old = "{ \"left\": \"by an earlier installation\" }\n";
    if (file_before) WriteFile(state.file("global_conf.json"), old);
    Daemon d(state.path(), {}, {}, "02:00:5e:10:00:01", 0, /*configured=*/false);
    ASSERT_TRUE(d.WaitReady()) << d.Log();
    ASSERT_TRUE(d.WaitLog("gwcfgd: serving")) << d.Log();
    EXPECT_EQ(gwdtest::Count(d.Log(),
                             "gwcfgd: the gateway has no configuration yet (none stored that it "
                             "can use, no profile): global_conf.json " +
                                 std::string(file_before ? "left as it is" : "not written")),
              1u)
        << d.Log();
    EXPECT_EQ(gwdtest::Count(d.Log(), "configuration"), 1u) << d.Log();
    auto file_unchanged = [&] {
        if (file_before)
            EXPECT_EQ(ReadFile(state.file("global_conf.json")), old);
        else
            EXPECT_FALSE(FileExists(state.file("global_conf.json")));
    };
    file_unchanged();
    gwblock::BlockContents bc = Current(d);
    EXPECT_EQ(bc.revision, 0u);
    EXPECT_STREQ(bc.gw.gateway_conf.gateway_ID, "02005EFFFE100001");

    gwblock::BlockContents one_key = bc;
    std::string why;
    ASSERT_TRUE(
        gwblock::set_value(&one_key, "gateway_conf.server_address", "lns.example.net", &why));
    gwdtest::SendUpdate(d.port(), d.mac(), one_key);
    ASSERT_TRUE(
        d.WaitLog("gwcfgd: update refused: SX1301_conf.clksrc=0: must name an enabled radio"))
        << d.Log();
    EXPECT_NE(d.Log().find("; nothing stored\n"), std::string::npos) << d.Log();
    file_unchanged();
    EXPECT_FALSE(FileExists(state.file("gwcfgd.block")));

    ApplyShippedProfiles(&bc);
    gwdtest::SendUpdate(d.port(), d.mac(), bc);
    ASSERT_TRUE(d.WaitLog("gwcfgd: update applied: revision 1")) << d.Log();
    Json::Value conf;
    ASSERT_TRUE(gwdtest::ReadGlobalConf(state.path(), &conf));
    EXPECT_EQ(conf["gateway_conf"]["server_address"].asString(), "localhost");
    EXPECT_EQ(conf["gateway_conf"]["gateway_ID"].asString(), "02005EFFFE100001");
    EXPECT_EQ(conf["SX1301_conf"]["radio_0"]["freq"].asUInt(), 867500000u);
}

INSTANTIATE_TEST_SUITE_P(Start, GwcfgdUnconfigured, ::testing::Bool(), [](const auto &info) {
    return info.param ? "OverAnOldFile" : "WithoutAFile";
});

// A stored configuration the forwarder would refuse (stored by an earlier
// version, say) is served, so that it can be shown and mended, but not
// written out; an unset gateway_ID is derived from the MAC address.
TEST_F(GwcfgdState, StoredConfigurationThatBreaksARuleIsServedButNotWrittenOut) {
    WriteFile(state.file("gwcfgd.block"), ValidBlockWith([](gwblock::BlockContents *) {}));
    const std::string old = "{}\n";
    WriteFile(state.file("global_conf.json"), old);
    Daemon d(state.path());
    ASSERT_TRUE(d.WaitReady()) << d.Log();
    ASSERT_TRUE(d.WaitLog("gwcfgd: serving")) << d.Log();
    EXPECT_NE(d.Log().find(
                  "gwcfgd: gateway_conf.gateway_ID is unset; using 02005EFFFE100001, derived from "
                  "the MAC address"),
              std::string::npos)
        << d.Log();
    EXPECT_NE(d.Log().find(
                  "gwcfgd: configuration revision 7 breaks a rule of the forwarder, "
                  "global_conf.json left as it is until an update mends it: SX1301_conf.clksrc=0"),
              std::string::npos)
        << d.Log();
    EXPECT_EQ(ReadFile(state.file("global_conf.json")), old);

    gwblock::BlockContents bc = Current(d);
    EXPECT_EQ(bc.revision, 7u);
    ApplyShippedProfiles(&bc, "us915");
    gwdtest::SendUpdate(d.port(), d.mac(), bc);
    ASSERT_TRUE(d.WaitLog("gwcfgd: update applied: revision 8")) << d.Log();
    Json::Value conf;
    ASSERT_TRUE(gwdtest::ReadGlobalConf(state.path(), &conf));
    EXPECT_EQ(conf["SX1301_conf"]["radio_0"]["freq"].asUInt(), 904300000u);
}

// The packaged options file (packaging/default/gwcfgd, installed as
// /etc/default/gwcfgd) starts a fresh install with a configuration the
// forwarder takes.
TEST_F(GwcfgdState, ThePackagedOptionsGiveAFreshInstallAWorkingConfiguration) {
    const std::string conffile = ReadFile(std::string(GW_PACKAGING_DIR) + "/default/gwcfgd");
    const std::string installed = "/usr/local/share/gwagent/profiles/";
    std::vector<std::string> options;
    for (const std::string &line : gwtest::SplitLines(conffile)) {
        if (line.rfind("GWCFGD_OPTS=\"", 0) != 0) continue;
        std::istringstream words(line.substr(13, line.rfind('"') - 13));
        for (std::string w; words >> w;)
            options.push_back(
                w.rfind(installed, 0) == 0 ? kProfiles + "/" + w.substr(installed.size()) : w);
    }
    ASSERT_FALSE(options.empty()) << conffile;
    Daemon d(state.path(), options);
    ASSERT_TRUE(d.WaitReady()) << d.Log();
    Json::Value conf;
    ASSERT_TRUE(gwdtest::ReadGlobalConf(state.path(), &conf)) << d.Log();
    EXPECT_EQ(conf["SX1301_conf"]["radio_0"]["freq"].asUInt(), 867500000u);
    EXPECT_EQ(conf["gateway_conf"]["server_address"].asString(), "localhost");
    std::string why;
    EXPECT_TRUE(gwblock::check_rules(Current(d), &why)) << why;
}

// A gateway configured before the region plans lost their server settings
// may still name only a region profile in its options: profiles that break
// a rule do not keep a gateway with a stored configuration from starting.
TEST_F(GwcfgdState, ProfilesThatBreakARuleDoNotStopAGatewayWithAStoredConfiguration) {
    {
        Daemon d(state.path());
        ASSERT_TRUE(d.WaitReady()) << d.Log();
        gwdtest::SendUpdate(d.port(), d.mac(), Current(d));
        ASSERT_TRUE(d.WaitLog("update applied: revision 1")) << d.Log();
    }
    Daemon d(state.path(), {"--profile", kProfiles + "/eu868.json"});
    ASSERT_TRUE(d.WaitReady()) << d.Log();
    EXPECT_EQ(Current(d).revision, 1u);
    EXPECT_NE(
        d.Log().find(
            "gwcfgd: the profiles give a configuration the forwarder refuses, not used while a "
            "configuration is stored: gateway_conf.server_address=\"\""),
        std::string::npos)
        << d.Log();
}

TEST_F(GwcfgdState, StaleTemporaryFileIsRemovedAtStart) {
    WriteFile(state.file("gwcfgd.block.tmp"), "half a block");
    Daemon d(state.path());
    ASSERT_TRUE(d.WaitReady()) << d.Log();
    EXPECT_FALSE(FileExists(state.file("gwcfgd.block.tmp")));
    EXPECT_TRUE(CorruptCopies(state.path()).empty());
}

// The shipped profiles (a region plan and the site defaults) load and reach
// global_conf.json when nothing is stored; a stored block wins over them.
struct ProfileCase {
    const char *region;
    uint32_t radio0_freq;
    uint32_t radio1_freq;
    uint32_t lora_std_bandwidth;
};

class GwcfgdProfile : public GwcfgdState, public ::testing::WithParamInterface<ProfileCase> {};

TEST_P(GwcfgdProfile, AppliesOverTheDefaultsUntilAConfigurationIsStored) {
    const std::vector<std::string> profiles = gwdtest::ShippedProfiles(GetParam().region);
    {
        Daemon d(state.path(), profiles);
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
        // No profile sets the gateway EUI: it comes from the MAC address.
        EXPECT_EQ(conf["gateway_conf"]["gateway_ID"].asString(), "02005EFFFE100001");
        // The device name and fixed settings keep their factory values.
        EXPECT_EQ(conf["serverIP_conf"]["server_name"].asString(), "DeviceName12345");

        gwblock::BlockContents bc = Current(d);
        bc.gw.radios[0].freq = 868100000;
        gwdtest::SendUpdate(d.port(), d.mac(), bc);
        ASSERT_TRUE(d.WaitLog("update applied")) << d.Log();
    }
    Daemon again(state.path(), profiles);
    ASSERT_TRUE(again.WaitReady()) << again.Log();
    EXPECT_EQ(Current(again).gw.radios[0].freq, 868100000u);
}

INSTANTIATE_TEST_SUITE_P(Shipped, GwcfgdProfile,
                         ::testing::Values(ProfileCase{"eu868", 867500000, 868500000, 250000},
                                           ProfileCase{"us915", 904300000, 905000000, 500000},
                                           ProfileCase{"au915", 917200000, 917900000, 500000}),
                         [](const auto &info) {
                             return std::string(info.param.region);
                         });

struct BadProfile {
    const char *name;
    const char *content;  // null: no such file
    const char *message;
};

class GwcfgdBadProfile : public ::testing::TestWithParam<BadProfile> {};

// The bad profile comes after the shipped ones, over them.
TEST_P(GwcfgdBadProfile, RefusesToStartWithStatus2) {
    TempDir dir;
    const std::string path = dir.file("profile.json");
    if (GetParam().content) WriteFile(path, GetParam().content);
    std::vector<std::string> argv = {gwdtest::DaemonPath(),
                                     "--mac",
                                     "02:00:00:00:00:01",
                                     "--port",
                                     std::to_string(gwdtest::FreePort()),
                                     "--state-dir",
                                     dir.path()};
    for (const std::string &a : gwdtest::ShippedProfiles())
        argv.push_back(a);
    argv.push_back("--profile");
    argv.push_back(path);
    std::string out, err;
    EXPECT_EQ(gwtest::RunProgram(argv, &out, &err, 10000), 2);
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
                   "SX1301_conf.chan_FSK.radio"},
        BadProfile{"BreaksARule", "{ \"gateway_conf\": { \"push_timeout_ms\": 2000 } }",
                   "gwcfgd: the profiles give a configuration the forwarder refuses: "
                   "gateway_conf.push_timeout_ms=2000: must be 1..1999 ms"},
        BadProfile{"BreaksARuleOverSeveralKeys",
                   "{ \"SX1301_conf\": { \"radio_1\": { \"enable\": false }, \"clksrc\": 0 } }",
                   "SX1301_conf.chan_multiSF_0.radio=1: must name an enabled radio"}),
    [](const auto &info) {
        return std::string(info.param.name);
    });

// A region plan sets only the radio: without site settings the forwarder
// would have no server.
TEST(GwcfgdStart, ARegionPlanAloneIsRefusedNamingWhatIsMissing) {
    TempDir dir;
    std::string err;
    EXPECT_EQ(gwtest::RunProgram({gwdtest::DaemonPath(), "--mac", "02:00:00:00:00:01", "--port",
                                  std::to_string(gwdtest::FreePort()), "--state-dir", dir.path(),
                                  "--profile", kProfiles + "/eu868.json"},
                                 nullptr, &err, 10000),
              2);
    EXPECT_NE(err.find("gateway_conf.server_address=\"\": must be a host name"), std::string::npos)
        << err;
    EXPECT_NE(err.find("site-defaults.json"), std::string::npos) << err;
    EXPECT_FALSE(FileExists(dir.file("global_conf.json")));
}

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
