// The documentation generated from the key table: the layout table of
// docs/config-block.md and the key reference of docs/keys.md. Each lies
// between two marker lines; a doc that differs from what the table says
// fails here. GW_UPDATE_DOCS=1 in the environment rewrites the docs in the
// source tree instead (review the diff, then commit it).
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "config_block.h"
#include "test_support.h"

using namespace gwblock;

namespace {

const std::string kSource = GW_SOURCE_DIR;
const std::string kBegin =
    "<!-- generated from the key table (codec/key_table.cpp) by tests/codec/docs_test.cpp -->\n";
const std::string kEnd = "<!-- end of generated text -->\n";

std::string Cell(std::string text) {
    std::string out;
    for (char c : text) {
        if (c == '|') out += '\\';
        out += c;
    }
    return out.empty() ? "—" : out;
}

std::string IndexRange(const KeyInfo &k) {
    if (k.count == 2) return "N = 0, 1";
    return "N = 0.." + std::to_string(k.count - 1);
}

// The first key of every row of the table, in table order.
std::vector<const KeyInfo *> Rows() {
    std::vector<const KeyInfo *> rows;
    for (const KeyInfo &k : key_table())
        if (k.index <= 0) rows.push_back(&k);
    return rows;
}

std::string Use(const KeyInfo &k) {
    if (!k.writable) return "read-only view";
    if (k.forwarder_reads) return "reads";
    if (k.in_global_conf) return "written, not read";
    return "not written";
}

std::string KeysMarkdown() {
    std::string out;
    std::string section;
    for (const KeyInfo *k : Rows()) {
        if (k->section != section) {
            section = k->section;
            out += "\n### " + section + "\n\n";
            out +=
                "| Key | Type | Unit | Forwarder | Meaning | Rule |\n|---|---|---|---|---|---|\n";
        }
        std::string key = "`" + k->pattern + "`";
        if (k->index == 0) key += " (" + IndexRange(*k) + ")";
        std::string rule = k->rule;
        if (!k->rule_effect.empty()) rule += ". Otherwise: " + k->rule_effect + ".";
        out += "| " + key + " | " + layout_type(*k) + " | " + Cell(k->unit) + " | " + Use(*k) +
               " | " + Cell(k->meaning) + " | " + Cell(rule) + " |\n";
    }
    return out + "\n";
}

std::string LayoutMarkdown() {
    struct Row {
        size_t at;
        std::string offset, size, type, key, unit, meaning;
    };
    std::vector<Row> rows = {
        {0, "0", "4", "bytes", "—", "—", "magic \"GWCB\" (`47 57 43 42`)"},
        {4, "4", "2", "u16", "—", "—", "layout version, " + std::to_string(kVersion)},
        {kCrcOffset, std::to_string(kCrcOffset), "4", "u32", "—", "—", "CRC-32 of bytes 0 to 1019"},
    };
    std::vector<bool> covered(kBlockSize, false);
    for (size_t i = 0; i < 6; ++i)
        covered[i] = true;
    for (size_t i = kCrcOffset; i < kBlockSize; ++i)
        covered[i] = true;
    // Repeated records: where instance 0 starts, its stride, how many.
    struct Span {
        size_t base, stride;
        int count;
    };
    std::map<std::string, Span> spans;
    for (const KeyInfo &k : key_table()) {
        for (size_t i = 0; i < k.size; ++i)
            covered[k.block_offset + i] = true;
        if (k.index != 0) continue;
        const std::string object = k.pattern.substr(0, k.pattern.rfind('.'));
        auto it = spans.find(object);
        if (it == spans.end())
            spans[object] = {k.block_offset, k.block_stride, k.count};
        else
            it->second.base = std::min(it->second.base, k.block_offset);
        std::string key = "`" + k.pattern + "`, " + IndexRange(k);
        rows.push_back(
            {k.block_offset,
             std::to_string(k.block_offset) + " + " + std::to_string(k.block_stride) + "·N",
             std::to_string(k.size), layout_type(k), key, Cell(k.unit), Cell(k.meaning)});
    }
    for (const KeyInfo &k : key_table())
        if (k.index < 0)
            rows.push_back({k.block_offset, std::to_string(k.block_offset), std::to_string(k.size),
                            layout_type(k), "`" + k.path + "`", Cell(k.unit), Cell(k.meaning)});
    // Reserved runs: once for a repeated record, relative to its instance N.
    for (size_t b = 0; b < kCrcOffset;) {
        if (covered[b]) {
            ++b;
            continue;
        }
        const Span *in = nullptr;
        for (const auto &s : spans)
            if (b >= s.second.base && b < s.second.base + s.second.count * s.second.stride)
                in = &s.second;
        size_t end = b;
        while (end < kCrcOffset && !covered[end] &&
               (!in || (end - in->base) / in->stride == (b - in->base) / in->stride))
            ++end;
        if (!in)
            rows.push_back(
                {b, std::to_string(b), std::to_string(end - b), "—", "—", "—", "reserved"});
        else if (b < in->base + in->stride)
            rows.push_back({b, std::to_string(b) + " + " + std::to_string(in->stride) + "·N",
                            std::to_string(end - b), "—", "—", "—", "reserved"});
        b = end;
    }
    std::stable_sort(rows.begin(), rows.end(), [](const Row &a, const Row &b) {
        return a.at < b.at;
    });
    std::string out =
        "\n| Offset | Size | Type | Key | Unit | Meaning |\n|---|---|---|---|---|---|\n";
    for (const Row &r : rows)
        out += "| " + r.offset + " | " + r.size + " | " + r.type + " | " + r.key + " | " + r.unit +
               " | " + r.meaning + " |\n";
    return out + "\n";
}

// Compares the generated part of a doc with what the table gives, or
// rewrites it under GW_UPDATE_DOCS=1.
void Check(const std::string &doc, const std::string &generated) {
    const std::string path = kSource + "/" + doc;
    const std::string text = gwtest::ReadFile(path);
    const size_t begin = text.find(kBegin);
    const size_t end = text.find(kEnd);
    ASSERT_TRUE(begin != std::string::npos && end != std::string::npos && begin < end)
        << doc << " lacks the marker lines around its generated part";
    const size_t from = begin + kBegin.size();
    if (text.compare(from, end - from, generated) == 0) return;
    if (getenv("GW_UPDATE_DOCS")) {
        std::ofstream(path) << text.substr(0, from) << generated << text.substr(end);
        return;
    }
    ADD_FAILURE()
        << doc << " does not say what the key table says. Run this test with GW_UPDATE_DOCS=1 to "
        << "rewrite it, or put this between its markers:\n"
        << generated;
}

TEST(Docs, KeysListsEveryKeyWithItsRule) { Check("docs/keys.md", KeysMarkdown()); }

TEST(Docs, ConfigBlockLayoutIsTheKeyTable) { Check("docs/config-block.md", LayoutMarkdown()); }

TEST(Docs, ProfilesNamesEveryShippedProfile) {
    const std::string doc = gwtest::ReadFile(kSource + "/docs/profiles.md");
    DIR *d = opendir((kSource + "/packaging/profiles").c_str());
    ASSERT_NE(d, nullptr);
    int n = 0;
    while (const dirent *e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.size() < 6 || name.compare(name.size() - 5, 5, ".json") != 0) continue;
        ++n;
        EXPECT_NE(doc.find("`" + name + "`"), std::string::npos)
            << "docs/profiles.md does not name " << name;
    }
    closedir(d);
    EXPECT_GT(n, 0);
}

}  // namespace
