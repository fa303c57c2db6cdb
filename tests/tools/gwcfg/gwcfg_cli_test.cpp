// gwcfg's command line: usage errors and help from the command table, the
// shell completion, the manual pages; and --version on every program.
#include <regex>
#include <set>

#include "gwcfg_fixture.h"

using namespace gwcfg_test;

namespace {

// ---------------------------------------------------------------------------
// Usage errors: exit 2, a message naming the fault and what to run next,
// and nothing sent.

struct UsageCase {
    const char *name;
    std::vector<std::string> args;
    const char *message;
};

class UsageErrors : public GwcfgTest, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(UsageErrors, ExitTwoAndSendNothing) {
    fake.add(UnitOf(Gateway(0x0a, "target", "1")));
    std::vector<std::string> args = GetParam().args;
    // Point everything that could go out at the fake (unless the case gives
    // its own --to or --port).
    bool own = false;
    for (const std::string &a : args)
        own = own || a.compare(0, 4, "--to") == 0 || a.compare(0, 6, "--port") == 0;
    if (!own && !args.empty() && args[0].compare(0, 1, "-") != 0) args = At(args);
    Result r = RunTool(args);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(GetParam().message), std::string::npos) << r.err;
    EXPECT_TRUE(fake.received().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, UsageErrors,
    ::testing::Values(
        UsageCase{"UnknownVerb",
                  {"frobnicate"},
                  "unknown verb \"frobnicate\". Verbs: discover, show, get, set,"},
        UsageCase{"MistypedVerb", {"shwo"}, "unknown verb \"shwo\". Did you mean show? Verbs:"},
        UsageCase{"MistypedOption",
                  {"discover", "--timout", "5"},
                  "unknown option --timout (did you mean --timeout?). Run"},
        // Only the options of the verb are offered: --keys is show's.
        UsageCase{"MistypedOptionOfAnotherVerb",
                  {"discover", "--key"},
                  "gwcfg discover: unknown option --key. Run"},
        UsageCase{"MistypedKeyInSet",
                  {"set", "00:11:22:33:44:0a", "gateway_conf.server_adress=x"},
                  "Nothing was sent. Did you mean gateway_conf.server_address? Keys are"},
        UsageCase{"MistypedSectionInGet",
                  {"get", "00:11:22:33:44:0a", "gatway_conf"},
                  "unknown key gatway_conf. Did you mean gateway_conf? Keys are"},
        UsageCase{"OptionBeforeTheVerb",
                  {"--to", "127.0.0.1", "discover"},
                  "options come after the verb"},
        UsageCase{"UnknownOption",
                  {"discover", "--bogus"},
                  "gwcfg discover: unknown option --bogus. Run gwcfg discover --help."},
        UsageCase{"OptionOfAnotherVerb",
                  {"set", "00:11:22:33:44:0a", "x=1", "--keys"},
                  "--keys is not an option of set"},
        UsageCase{"RepeatedOption",
                  {"show", "00:11:22:33:44:0a", "--to", "127.0.0.1", "--to", "127.0.0.2"},
                  "--to is given twice; give it once"},
        UsageCase{"PortTwice",
                  {"discover", "--to", "127.0.0.1:48321", "--port", "48321"},
                  "the port is given twice, in --to ADDR:PORT and in --port"},
        UsageCase{"BadPortInTo",
                  {"discover", "--to", "127.0.0.1:0"},
                  "the port after ':' must be a number 1..65535"},
        UsageCase{"UnresolvableTo",
                  {"discover", "--to", "no-such-host.invalid"},
                  "cannot resolve --to"},
        UsageCase{"FlagWithValue",
                  {"discover", "--json=yes", "--port", "1"},
                  "--json takes no value"},
        UsageCase{"MissingValue", {"discover", "--port", "1", "--timeout"}, "--timeout needs MS"},
        UsageCase{"TooManyRetries",
                  {"discover", "--retries", "11"},
                  "--retries needs a number 0..10"},
        UsageCase{"NoTarget",
                  {"show"},
                  "the gateway's MAC address is missing (or --all for every gateway)"},
        UsageCase{"NotAMac", {"show", "gateway-7"}, "\"gateway-7\" is not a MAC address"},
        UsageCase{"AlmostAMac",
                  {"get", "00:11:22:33:44:0a", "00:11:22:33:44", "x"},
                  "\"00:11:22:33:44\" is not a MAC"},
        UsageCase{"MacsAndAll",
                  {"show", "--all", "00:11:22:33:44:0a"},
                  "give MAC addresses or --all, not both"},
        UsageCase{"ExpectWithoutAll",
                  {"set", "00:11:22:33:44:0a", "x=1", "--expect", "3"},
                  "--expect goes with --all"},
        UsageCase{"NoKeyValue", {"set", "--all"}, "KEY=VALUE is missing"},
        UsageCase{"NoFile", {"apply", "00:11:22:33:44:0a"}, "FILE is missing"},
        UsageCase{"SecondOfTwoMissing", {"diff", "00:11:22:33:44:0a"}, "B is missing"},
        UsageCase{"TooManyArguments",
                  {"timesync", "00:11:22:33:44:0a", "a", "b"},
                  "unexpected argument \"b\""},
        UsageCase{
            "UnknownSection",
            {"apply", "00:11:22:33:44:0a", "f.json", "--only", "gateway_conf,radio"},
            "--only radio: not a section; the sections are SX1301_conf, gateway_conf, serverIP_conf"},
        UsageCase{"OnlyTheReadOnlySection",
                  {"apply", "00:11:22:33:44:0a", "f.json", "--only", "device_info"},
                  "--only device_info: not a section"},
        UsageCase{"NotADate", {"timesync", "00:11:22:33:44:0a", "$(reboot)"}, "is not a date text"},
        UsageCase{"VersionWithArguments", {"--version", "x"}, "--version takes no arguments"}),
    [](const ::testing::TestParamInfo<UsageCase> &i) {
        return std::string(i.param.name);
    });

// ---------------------------------------------------------------------------
// Help

std::vector<std::string> VerbsInHelp() {
    Result r = RunTool({"--help"});
    std::vector<std::string> verbs;
    bool in = false;
    for (const std::string &line : Lines(r.out)) {
        if (line == "verbs:") {
            in = true;
            continue;
        }
        if (in && line.empty()) break;
        std::smatch m;
        if (in && std::regex_match(line, m, std::regex("  ([a-z]+) .*"))) verbs.push_back(m[1]);
    }
    return verbs;
}

std::vector<std::string> OptionsInHelp(const std::string &verb) {
    std::vector<std::string> options;
    bool in = false;
    for (const std::string &line : Lines(RunTool({verb, "--help"}).out)) {
        if (line == "options:") {
            in = true;
            continue;
        }
        std::smatch m;
        if (in && std::regex_match(line, m, std::regex("  (--[a-z-]+).*"))) options.push_back(m[1]);
    }
    return options;
}

TEST(GwcfgHelp, ListsEveryVerbWithItsOwnOptions) {
    EXPECT_EQ(VerbsInHelp(), (std::vector<std::string>{"discover", "show", "get", "set", "apply",
                                                       "confirm", "backup", "diff", "timesync",
                                                       "clear", "reboot", "web", "help"}));
    // Each verb's help: its usage line first, then its options and no others.
    const std::map<std::string, std::set<std::string>> own = {
        {"set", {"--force", "--dry-run", "--no-wait", "--json", "--all", "--expect"}},
        {"apply", {"--only", "--force", "--dry-run", "--no-wait", "--json", "--all"}},
        {"confirm", {"--json", "--all"}},
        {"show", {"--keys", "--json", "--all"}},
        {"discover", {"--expect", "--json"}},
        {"diff", {"--json"}},
        {"web", {"--listen", "--password-file", "--tls-cert", "--tls-key", "--fleet-file"}},
    };
    for (const auto &kv : own) {
        SCOPED_TRACE(kv.first);
        Result r = RunTool({kv.first, "--help"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.find("usage: gwcfg " + kv.first), 0u) << r.out;
        const std::vector<std::string> options = OptionsInHelp(kv.first);
        const std::set<std::string> listed(options.begin(), options.end());
        for (const std::string &o : kv.second)
            EXPECT_TRUE(listed.count(o)) << o;
        for (const char *common : {"--to", "--port", "--timeout", "--retries", "--help"})
            EXPECT_TRUE(listed.count(common)) << common;
        for (const char *other : {"--keys", "--only", "--force", "--dry-run", "--no-wait"})
            if (!kv.second.count(other)) {
                EXPECT_FALSE(listed.count(other)) << other;
            }
        // The usage line names what the verb takes.
        for (const std::string &o : kv.second)
            if (o != "--all") {
                EXPECT_NE(Lines(r.out)[0].find("[" + o), std::string::npos)
                    << o << ": " << Lines(r.out)[0];
            }
    }
    EXPECT_EQ(RunTool({"help", "set"}).out, RunTool({"set", "--help"}).out);
    EXPECT_EQ(RunTool({"help"}).out, RunTool({"--help"}).out);
    EXPECT_EQ(RunTool({"help", "nonsense"}).status, 2);
}

// A verb reaches its own handler only: every verb's help is its own, and a
// verb that needs a gateway never runs without one.
TEST_F(GwcfgTest, EveryVerbRunsItsOwnHandler) {
    fake.add(UnitOf(Gateway(0x0a, "target", "1")));
    for (const std::string &verb : VerbsInHelp()) {
        SCOPED_TRACE(verb);
        Result help = RunTool({verb, "--help"});
        EXPECT_EQ(help.out.find("usage: gwcfg " + verb), 0u);
    }
    // Reboot is not where unknown words end up.
    Result r = RunTool(At({"rebooot", kMacA}));
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(fake.received().empty());
}

// ---------------------------------------------------------------------------
// The manual page and --version

std::string ManPage(const std::string &path) {
    return gwtest::ReadFile(std::string(GW_SOURCE_DIR) + "/" + path);
}

TEST(GwcfgManual, DocumentsEveryVerbAndOption) {
    const std::string page = ManPage("tools/gwcfg/gwcfg.1");
    for (const std::string &verb : VerbsInHelp())
        EXPECT_NE(page.find("\n.B " + verb + "\n"), std::string::npos) << verb;
    std::set<std::string> options;
    for (const std::string &verb : VerbsInHelp())
        for (const std::string &o : OptionsInHelp(verb))
            options.insert(o);
    for (std::string o : options) {
        std::string escaped;
        for (char c : o)
            escaped += c == '-' ? std::string("\\-") : std::string(1, c);
        EXPECT_NE(page.find(escaped), std::string::npos) << o;
    }
}

TEST(ManualPages, FormatWithoutWarnings) {
    if (gwtest::RunProgram({"sh", "-c", "command -v man"}, nullptr, nullptr, 10000) != 0)
        GTEST_SKIP() << "man is not installed";
    for (const char *page : {"tools/gwcfg/gwcfg.1", "host/gwcfgd.8", "respawner/respawner.8",
                             "tools/fpgactl/fpgactl.8"}) {
        SCOPED_TRACE(page);
        std::string out, err;
        // What lintian runs.
        const int status = gwtest::RunProgram({"man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8",
                                               "-Z", std::string(GW_SOURCE_DIR) + "/" + page},
                                              &out, &err, 30000,
                                              {"LC_ALL=C.UTF-8", "MANROFFSEQ=", "MANWIDTH=80"});
        EXPECT_EQ(status, 0) << err;
        EXPECT_EQ(err, "");
        EXPECT_NE(out.find("NAME"), std::string::npos);
    }
}

// Every option gwcfgd --help lists is in its manual page.
TEST(GwcfgdManual, DocumentsEveryOption) {
    std::string out, err;
    ASSERT_EQ(gwtest::RunProgram({GWCFGD_BINARY, "--help"}, &out, &err, 10000), 0) << err;
    const std::string page = ManPage("host/gwcfgd.8");
    size_t options = 0;
    for (const std::string &line : Lines(out)) {
        std::smatch m;
        if (!std::regex_match(line, m, std::regex("  (--[a-z-]+).*"))) continue;
        ++options;
        std::string escaped;
        for (char c : m[1].str())
            escaped += c == '-' ? std::string("\\-") : std::string(1, c);
        EXPECT_NE(page.find(escaped), std::string::npos) << m[1];
    }
    EXPECT_GE(options, 10u) << out;
}

TEST(Programs, AnswerVersion) {
    const struct {
        const char *name, *path;
    } programs[] = {{"gwcfg", GWCFG_BINARY},
                    {"gwcfgd", GWCFGD_BINARY},
                    {"respawner", RESPAWNER_BINARY},
                    {"fpgactl", FPGACTL_BINARY}};
    for (const auto &p : programs) {
        SCOPED_TRACE(p.name);
        std::string out, err;
        EXPECT_EQ(gwtest::RunProgram({p.path, "--version"}, &out, &err, 10000), 0) << err;
        EXPECT_EQ(out, std::string(p.name) + " " + GW_VERSION_EXPECTED + "\n");
    }
    std::string out, err;
    EXPECT_EQ(gwtest::RunProgram({RESPAWNER_BINARY, "--bogus"}, &out, &err, 10000), 2);
    EXPECT_NE(err.find("respawner: takes no arguments"), std::string::npos) << err;
}

// ---------------------------------------------------------------------------
// Completion, through the bash script as the shell runs it

struct CompletionCase {
    const char *name;
    const char *line;
    std::vector<std::string> want;      // all of these
    std::vector<std::string> not_want;  // none of these
};

class Completion : public ::testing::TestWithParam<CompletionCase> {};

TEST_P(Completion, OffersWhatFitsTheWord) {
    if (gwtest::RunProgram({"sh", "-c", "command -v bash"}, nullptr, nullptr, 10000) != 0)
        GTEST_SKIP() << "bash is not installed";
    const std::string bin =
        std::string(GWCFG_BINARY).substr(0, std::string(GWCFG_BINARY).rfind('/'));
    std::string out, err;
    const int status = gwtest::RunProgram(
        {"bash", "-c",
         "source \"$1\"; COMP_LINE=\"$2\"; COMP_POINT=${#COMP_LINE}; _gwcfg; printf '%s\\n' \"${COMPREPLY[@]}\"",
         "_", std::string(GW_SOURCE_DIR) + "/tools/gwcfg/gwcfg.bash-completion", GetParam().line},
        &out, &err, 10000, {"PATH=" + bin + ":/usr/bin:/bin"}, GW_SOURCE_DIR);
    ASSERT_EQ(status, 0) << err;
    const std::vector<std::string> got = Lines(out);
    const std::set<std::string> set(got.begin(), got.end());
    for (const std::string &w : GetParam().want)
        EXPECT_TRUE(set.count(w)) << w << " not in:\n" << out;
    for (const std::string &w : GetParam().not_want)
        EXPECT_FALSE(set.count(w)) << w << " in:\n" << out;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, Completion,
    ::testing::Values(
        CompletionCase{"Verbs",
                       "gwcfg ",
                       {"discover", "show", "set", "apply", "backup", "diff", "--version"},
                       {"__complete"}},
        CompletionCase{"VerbPrefix", "gwcfg ba", {"backup"}, {"show"}},
        CompletionCase{"Options", "gwcfg set --d", {"--dry-run"}, {"--json=", "--keys"}},
        CompletionCase{"NoKeysBeforeATarget", "gwcfg set ", {}, {"gateway_conf.server_address="}},
        CompletionCase{"Keys",
                       "gwcfg set 00:11:22:33:44:0a gateway_conf.serv",
                       {"gateway_conf.server_address=", "gateway_conf.serv_port_up="},
                       {"device_info.mac=", "SX1301_conf.clksrc="}},
        // Bash replaces what follows the last '=' or ':'.
        CompletionCase{
            "FlagValues", "gwcfg set --all SX1301_conf.radio_0.enable=", {"true", "false"}, {}},
        CompletionCase{"GetTakesSections",
                       "gwcfg get --all SX1301_conf.radio_1",
                       {"SX1301_conf.radio_1", "SX1301_conf.radio_1.freq"},
                       {}},
        CompletionCase{"OnlySections",
                       "gwcfg apply --all x.json --only gateway",
                       {"gateway_conf"},
                       {"device_info"}},
        CompletionCase{"Files",
                       "gwcfg apply --all packaging/profiles/eu",
                       {"packaging/profiles/eu868.json"},
                       {}},
        CompletionCase{"HelpVerbs", "gwcfg help ti", {"timesync"}, {}}),
    [](const ::testing::TestParamInfo<CompletionCase> &i) {
        return std::string(i.param.name);
    });

}  // namespace
