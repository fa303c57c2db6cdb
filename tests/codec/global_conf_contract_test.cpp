// The writer of global_conf.json (emit_gwconf) and the key table describe the
// same record: every key the table says global_conf.json carries is in the
// file, with the table's value and JSON value kind, and the file carries no
// other key. For a valid record the file is, byte for byte, the golden one.
#include <gtest/gtest.h>

#include <json/reader.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>

#include "agent.h"
#include "codec_fixtures.h"
#include "config_block.h"
#include "test_support.h"

using namespace gwblock;

namespace {

// global_conf.json as emit_gwconf writes it for bc, in a scratch directory.
std::string Emit(const BlockContents &bc) {
    gwtest::TempDir dir;
    char cwd[4096];
    EXPECT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(chdir(dir.path().c_str()), 0);
    EqpConfig eqp = bc.eqp;
    GatewayConfig gw = bc.gw;
    {
        gwtest::CaptureFd quiet(1);  // its two console lines
        emit_gwconf(&gw, &eqp);
    }
    EXPECT_EQ(chdir(cwd), 0);
    return gwtest::ReadFile(dir.file("global_conf.json"));
}

Json::Value Parse(const std::string &text) {
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    Json::Value v;
    std::string errs;
    EXPECT_TRUE(r->parse(text.data(), text.data() + text.size(), &v, &errs)) << errs;
    return v;
}

// Every leaf of a JSON object by its dotted path.
void Leaves(const Json::Value &v, const std::string &prefix,
            std::map<std::string, Json::Value> *out) {
    for (const std::string &name : v.getMemberNames()) {
        const std::string path = prefix.empty() ? name : prefix + "." + name;
        if (v[name].isObject())
            Leaves(v[name], path, out);
        else
            (*out)[path] = v[name];
    }
}

// Each writable key gets its own value, spread over what its field carries
// (unsigned values past 2^31, negative ones), so that two members swapped
// between the table and the writer would show.
BlockContents Distinct() {
    BlockContents b = codec_test::SampleContents();
    int i = 0;
    for (const KeyInfo &k : key_table()) {
        if (!k.writable) continue;
        ++i;
        std::string text;
        switch (k.kind) {
            case ValueKind::Bool:
                text = i % 2 ? "true" : "false";
                break;
            case ValueKind::F32:
                text = std::to_string(-100 - i) + ".25";
                break;
            case ValueKind::Ipv4:
                text = "10.0." + std::to_string(i) + ".1";
                break;
            case ValueKind::Text:
                text = ("k" + std::to_string(i)).substr(0, k.size - 1);
                break;
            default: {
                const uint64_t span = static_cast<uint64_t>(k.max - k.min) + 1;
                text = std::to_string(k.min +
                                      static_cast<int64_t>((uint64_t(i) * 2654435761u) % span));
            }
        }
        std::string why;
        EXPECT_TRUE(set_value(&b, k.path, text, &why)) << why;
    }
    return b;
}

enum class JsonKind { Boolean, Integer, Real, String, Other };

JsonKind KindOf(const Json::Value &v) {
    switch (v.type()) {
        case Json::booleanValue:
            return JsonKind::Boolean;
        case Json::intValue:
        case Json::uintValue:
            return JsonKind::Integer;
        case Json::realValue:
            return JsonKind::Real;
        case Json::stringValue:
            return JsonKind::String;
        default:
            return JsonKind::Other;
    }
}

bool SameValue(const Json::Value &a, const Json::Value &b) {
    if (KindOf(a) != KindOf(b)) return false;
    switch (KindOf(a)) {
        case JsonKind::Boolean:
            return a.asBool() == b.asBool();
        case JsonKind::Integer:
            if (a.isInt64() && b.isInt64()) return a.asInt64() == b.asInt64();
            return a.isUInt64() && b.isUInt64() && a.asUInt64() == b.asUInt64();
        case JsonKind::Real:
            return a.asDouble() == b.asDouble();
        case JsonKind::String:
            return a.asString() == b.asString();
        default:
            return false;
    }
}

TEST(GlobalConfContract, TheWriterAndTheKeyTableAgreeOnKeysValuesAndKinds) {
    const BlockContents b = Distinct();
    std::map<std::string, Json::Value> file, table;
    Leaves(Parse(Emit(b)), "", &file);
    Leaves(to_json(b), "", &table);
    ASSERT_FALSE(file.empty());
    for (const KeyInfo &k : key_table()) {
        SCOPED_TRACE(k.path);
        EXPECT_EQ(file.count(k.path), k.in_global_conf ? 1u : 0u);
        if (!k.in_global_conf || !file.count(k.path)) continue;
        EXPECT_TRUE(SameValue(file[k.path], table[k.path]))
            << "file " << file[k.path].toStyledString() << "table "
            << table[k.path].toStyledString();
    }
    for (const auto &leaf : file) {
        const KeyInfo *k = find_key(leaf.first);
        EXPECT_TRUE(k && k->in_global_conf) << leaf.first << " is in the file but not in the table";
    }
}

// The EU868 plan, the site defaults and a gateway EUI from the MAC address
// over the factory equipment record: the file a freshly installed gateway's
// forwarder reads.
TEST(GlobalConfContract, AValidRecordGivesTheGoldenFile) {
    BlockContents b = codec_test::SampleContents();
    b.gw = GatewayConfig{};
    for (const char *file : {"eu868.json", "site-defaults.json"}) {
        std::string why;
        ASSERT_TRUE(
            apply_json_profile(Parse(gwtest::ReadFile(std::string(GW_PROFILES_DIR) + "/" + file)),
                               &b, &why))
            << why;
    }
    ASSERT_TRUE(fill_unset_gateway_id(&b));
    std::string why;
    ASSERT_TRUE(check_rules(b, &why)) << why;
    const std::string golden_path = std::string(GW_CODEC_GOLDEN_DIR) + "/global_conf_eu868.json";
    const std::string got = Emit(b);
    EXPECT_EQ(got, gwtest::ReadFile(golden_path))
        << "global_conf.json differs from " << golden_path;
}

}  // namespace
