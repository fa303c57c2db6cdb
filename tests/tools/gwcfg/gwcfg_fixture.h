// What the tests of gwcfg share: running the tool in-process or as the
// built program, gateways the forwarder's rules accept, a fixture with a
// fake gateway on loopback.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <json/reader.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "codec_fixtures.h"
#include "config_block.h"
#include "fake_gateway.h"
#include "gwcfg.h"
#include "test_support.h"

extern char **environ;

namespace gwcfg_test {

using codec_test::FakeGateway;
using codec_test::SampleContents;
using gwblock::BlockContents;

struct Result {
    int status;
    std::string out, err;
};

inline Result RunTool(std::vector<std::string> args) {
    std::ostringstream out, err;
    int status = gwcfg::run(args, out, err);
    return {status, out.str(), err.str()};
}

inline Result RunBinary(const std::vector<std::string> &args) {
    gwtest::TempDir dir;
    const std::string out_path = dir.file("out"), err_path = dir.file("err");
    std::vector<std::string> full = {GWCFG_BINARY};
    full.insert(full.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : full)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid;
    int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    EXPECT_EQ(rc, 0);
    int ws = 0;
    waitpid(pid, &ws, 0);
    return {WIFEXITED(ws) ? WEXITSTATUS(ws) : -1, gwtest::ReadFile(out_path),
            gwtest::ReadFile(err_path)};
}

// A gateway the forwarder's rules accept. id: its gateway EUI, or the last
// digits of one ("1" gives AA555A0000000001).
inline BlockContents Gateway(uint8_t last_mac_byte, const char *name, const char *id) {
    BlockContents b = SampleContents();
    b.eqp.mac[5] = last_mac_byte;
    codec_test::put_text(b.eqp.server_name, sizeof b.eqp.server_name, name);
    std::string eui = id;
    if (eui.size() < 16)
        eui = "AA555A" + std::string(10 - std::min<size_t>(eui.size(), 10), '0') + eui;
    codec_test::put_text(b.gw.gateway_conf.gateway_ID, sizeof b.gw.gateway_conf.gateway_ID,
                         eui.c_str());
    return b;
}

inline FakeGateway::Unit UnitOf(const BlockContents &b) {
    FakeGateway::Unit u;
    u.contents = b;
    return u;
}

inline Json::Value ParseJson(const std::string &text) {
    Json::CharReaderBuilder b;
    Json::Value v;
    std::string errs;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    EXPECT_TRUE(r->parse(text.data(), text.data() + text.size(), &v, &errs)) << errs << text;
    return v;
}

class GwcfgTest : public ::testing::Test {
protected:
    // The options that point a command at the fake.
    std::vector<std::string> At(std::vector<std::string> args, int timeout_ms = 300) {
        args.insert(args.end(), {"--to", "127.0.0.1", "--port", std::to_string(fake.port()),
                                 "--timeout", std::to_string(timeout_ms)});
        return args;
    }

    FakeGateway fake;
    const std::string kMacA = "00:11:22:33:44:0a";
    const std::string kMacB = "00:11:22:33:44:0b";
};

inline std::vector<std::string> Lines(const std::string &text) { return gwtest::SplitLines(text); }

}  // namespace gwcfg_test
