// The shipped profiles (packaging/profiles/): region plans that set only the
// radio plan, site defaults that set only the server settings, and together
// a configuration the forwarder takes, with the channels where the plans put
// them.
#include <gtest/gtest.h>

#include <json/reader.h>

#include <dirent.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "config_block.h"
#include "test_support.h"

using namespace gwblock;

namespace {

const std::string kDir = GW_PROFILES_DIR;

Json::Value Load(const std::string &file) {
    const std::string text = gwtest::ReadFile(kDir + "/" + file);
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    Json::Value v;
    std::string errs;
    EXPECT_TRUE(r->parse(text.data(), text.data() + text.size(), &v, &errs))
        << file << ": " << errs;
    return v;
}

// A gateway with nothing configured yet, as the daemon starts it.
BlockContents Bare() {
    BlockContents b{};
    const uint8_t mac[6] = {0xb8, 0x27, 0xeb, 0x12, 0x34, 0x56};
    memcpy(b.eqp.mac, mac, 6);
    return b;
}

struct Region {
    const char *file;
    std::vector<double> multi_sf_mhz;  // chan_multiSF_0..7, in order
    double lora_std_mhz;
    unsigned lora_std_bandwidth, lora_std_sf;
    double fsk_mhz;  // 0: FSK off
};

void PrintTo(const Region &r, std::ostream *os) { *os << r.file; }

class RegionPlan : public ::testing::TestWithParam<Region> {};

double Mhz(const GatewayConfig &g, const ChannelConfig &c) {
    return (static_cast<double>(g.radios[c.radio].freq) + c.if_freq) / 1e6;
}

TEST_P(RegionPlan, SetsOnlyTheRadioPlanAndWithTheSiteDefaultsPassesTheRules) {
    const Region &region = GetParam();
    const Json::Value plan = Load(region.file);
    EXPECT_EQ(plan.getMemberNames(), std::vector<std::string>{"SX1301_conf"});
    // The whole plan, so that it replaces another one completely.
    for (const KeyInfo *k : keys_in_section("SX1301_conf")) {
        if (!k->forwarder_reads) continue;
        const std::string sub = k->path.substr(std::string("SX1301_conf.").size());
        const Json::Value *node = &plan["SX1301_conf"];
        size_t start = 0, dot;
        while ((dot = sub.find('.', start)) != std::string::npos) {
            node = &(*node)[sub.substr(start, dot - start)];
            start = dot + 1;
        }
        EXPECT_TRUE(node->isMember(sub.substr(start))) << region.file << " lacks " << k->path;
    }

    BlockContents b = Bare();
    std::string why;
    ASSERT_TRUE(apply_json_profile(plan, &b, &why)) << why;
    ASSERT_TRUE(apply_json_profile(Load("site-defaults.json"), &b, &why)) << why;
    ASSERT_TRUE(fill_unset_gateway_id(&b));
    EXPECT_TRUE(check_rules(b, &why)) << region.file << ": " << why;

    const GatewayConfig &g = b.gw;
    for (int i = 0; i < 8; ++i) {
        EXPECT_TRUE(g.chan_multiSF[i].enable) << i;
        EXPECT_DOUBLE_EQ(Mhz(g, g.chan_multiSF[i]), region.multi_sf_mhz[i]) << "chan_multiSF_" << i;
    }
    EXPECT_TRUE(g.chan_Lora_std.enable);
    EXPECT_DOUBLE_EQ(Mhz(g, g.chan_Lora_std), region.lora_std_mhz);
    EXPECT_EQ(g.chan_Lora_std.bandwidth, region.lora_std_bandwidth);
    EXPECT_EQ(g.chan_Lora_std.datarate, region.lora_std_sf);
    EXPECT_EQ(g.chan_FSK.enable, region.fsk_mhz != 0);
    if (region.fsk_mhz != 0) {
        EXPECT_DOUBLE_EQ(Mhz(g, g.chan_FSK), region.fsk_mhz);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shipped, RegionPlan,
    ::testing::Values(Region{"eu868.json",
                             {868.1, 868.3, 868.5, 867.1, 867.3, 867.5, 867.7, 867.9},
                             868.3,
                             250000,
                             7,
                             868.8},
                      // Sub-band 2: channels 8 to 15 and the 500 kHz channel 65.
                      Region{"us915.json",
                             {903.9, 904.1, 904.3, 904.5, 904.7, 904.9, 905.1, 905.3},
                             904.6,
                             500000,
                             8,
                             0},
                      Region{"au915.json",
                             {916.8, 917.0, 917.2, 917.4, 917.6, 917.8, 918.0, 918.2},
                             917.5,
                             500000,
                             8,
                             0}),
    [](const auto &info) {
        const std::string f = info.param.file;
        return f.substr(0, f.find('.'));
    });

TEST(SiteDefaults, SetTheServerSettingsAndDhcpAndLeaveTheGatewayIdToTheMacAddress) {
    const Json::Value site = Load("site-defaults.json");
    EXPECT_EQ(site.getMemberNames(), (std::vector<std::string>{"gateway_conf", "serverIP_conf"}));
    EXPECT_FALSE(site["gateway_conf"].isMember("gateway_ID"));
    // A fresh install keeps the address its DHCP server gives it: the
    // factory default networkmode 1 would move eth0 to 192.168.0.1/24.
    EXPECT_EQ(site["serverIP_conf"].getMemberNames(), std::vector<std::string>{"networkmode"});
    BlockContents b = Bare();
    b.eqp.networkmode = 1;
    std::string why;
    ASSERT_TRUE(apply_json_profile(site, &b, &why)) << why;
    EXPECT_EQ(b.eqp.networkmode, 0);
    // Alone they are no configuration: the forwarder has no radio.
    EXPECT_FALSE(check_rules(b, &why));
}

// Every profile in the directory is one of the cases above.
TEST(ShippedProfiles, AreAllCovered) {
    std::set<std::string> files;
    DIR *d = opendir(kDir.c_str());
    ASSERT_NE(d, nullptr);
    while (const dirent *e = readdir(d)) {
        const std::string n = e->d_name;
        if (n.size() > 5 && n.compare(n.size() - 5, 5, ".json") == 0) files.insert(n);
    }
    closedir(d);
    EXPECT_EQ(files, (std::set<std::string>{"au915.json", "eu868.json", "site-defaults.json",
                                            "us915.json"}));
}

}  // namespace
