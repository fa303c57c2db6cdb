// Checks of the restart service's packaging: the sudoers drop-in must parse
// and must allow exactly the commands the system runs through sudo, and the
// systemd unit must keep the settings the service relies on.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "respawn_core.h"
#include "test_support.h"

namespace {

const std::string kDropIn = std::string(PACKAGING_DIR) + "/sudoers.d/gwagent";
const std::string kUnit = std::string(PACKAGING_DIR) + "/respawner.service";

std::string Trim(const std::string &s) {
    auto b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    auto e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

std::vector<std::string> SplitList(const std::string &s) {
    std::vector<std::string> out;
    std::stringstream ss(s);
    std::string item;
    while (std::getline(ss, item, ','))
        out.push_back(Trim(item));
    return out;
}

// The drop-in's logical lines: comments dropped, continuations joined.
std::vector<std::string> SudoersLines(const std::string &text) {
    std::vector<std::string> out;
    std::string cur;
    for (std::string line : gwtest::SplitLines(text)) {
        if (Trim(line).rfind("#", 0) == 0) continue;
        bool more = !line.empty() && line.back() == '\\';
        if (more) line.pop_back();
        cur += line;
        if (!more) {
            if (!Trim(cur).empty()) out.push_back(Trim(cur));
            cur.clear();
        }
    }
    return out;
}

std::string WithoutSudo(const char *command) {
    std::string c = command;
    return c.substr(c.find(' ') + 1);
}

// The commands the system runs as "sudo <command>" through the real sudo,
// by the account sudo runs them as, with the paths under which sudo finds
// them on images with and without a merged /usr. As root: the two dhcpcd
// commands of the restart sequence. As pi, never as root: the forwarder,
// which lives in pi's home, run as "./basic_pkt_fwd" from its directory,
// without arguments. Nothing for gwcfgd: its "sudo" is the root helper's
// client, and pi may not set the clock or the fixed address through sudo.
std::map<std::string, std::set<std::string>> SystemCommands() {
    std::map<std::string, std::set<std::string>> want;
    for (const char *dir : {"/usr/sbin/", "/sbin/"}) {
        want["root"].insert(dir + WithoutSudo(respawn::kDhcpRelease));
        want["root"].insert(dir + WithoutSudo(respawn::kDhcpRebind));
    }
    want["pi"].insert(std::string(respawn::kForwarderDir) + "/basic_pkt_fwd \"\"");
    return want;
}

TEST(SudoersDropIn, AllowsExactlyTheCommandsRunThroughSudo) {
    std::map<std::string, std::vector<std::string>> aliases;
    std::vector<std::string> entries, defaults;
    for (const auto &line : SudoersLines(gwtest::ReadFile(kDropIn))) {
        if (line.rfind("Cmnd_Alias ", 0) == 0) {
            auto eq = line.find('=');
            ASSERT_NE(eq, std::string::npos) << line;
            aliases[Trim(line.substr(11, eq - 11))] = SplitList(line.substr(eq + 1));
        } else if (line.rfind("Defaults", 0) == 0) {
            defaults.push_back(line);
        } else {
            entries.push_back(line);
        }
    }
    // The forwarder runs as pi when sudo is given no -u.
    EXPECT_EQ(defaults, std::vector<std::string>{"Defaults!GW_FORWARDER runas_default=pi"});
    std::map<std::string, std::set<std::string>> allowed;
    for (const auto &entry : entries) {
        const std::string head = "pi ALL=(";
        ASSERT_EQ(entry.rfind(head, 0), 0u) << entry;
        const auto close = entry.find(") NOPASSWD: ");
        ASSERT_NE(close, std::string::npos) << entry;
        const std::string runas = entry.substr(head.size(), close - head.size());
        for (const auto &item : SplitList(entry.substr(close + 12))) {
            auto a = aliases.find(item);
            if (a == aliases.end())
                allowed[runas].insert(item);
            else
                allowed[runas].insert(a->second.begin(), a->second.end());
        }
    }
    EXPECT_EQ(allowed, SystemCommands());
}

TEST(SudoersDropIn, FileNameIsOneSudoReads) {
    // sudo skips files in /etc/sudoers.d whose name has a '.' or ends in '~'.
    std::string name = kDropIn.substr(kDropIn.rfind('/') + 1);
    EXPECT_EQ(name.find('.'), std::string::npos);
    EXPECT_NE(name.back(), '~');
}

TEST(SudoersDropIn, ParsesWithVisudo) {
    std::vector<std::string> dirs = {"/usr/sbin", "/sbin", "/usr/local/sbin"};
    const char *path = getenv("PATH");
    std::stringstream ss(path ? path : "");
    for (std::string d; std::getline(ss, d, ':');)
        dirs.push_back(d);
    std::string visudo;
    for (const auto &d : dirs)
        if (!d.empty() && access((d + "/visudo").c_str(), X_OK) == 0) {
            visudo = d + "/visudo";
            break;
        }
    if (visudo.empty() && getenv("CI"))
        FAIL() << "visudo is not installed (package sudo; scripts/install-deps.sh installs it)";
    if (visudo.empty())
        GTEST_SKIP() << "visudo is not installed (package sudo); syntax not checked";
    gwtest::TempDir tmp;
    std::string copy = tmp.file("gwagent");
    gwtest::WriteFile(copy, gwtest::ReadFile(kDropIn), 0440);
    std::string cmd = visudo + " -cf '" + copy + "'";
    int status = std::system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << cmd;
}

TEST(ServiceUnit, KeepsTheSettingsTheServiceNeeds) {
    std::set<std::string> lines;
    for (const auto &l : gwtest::SplitLines(gwtest::ReadFile(kUnit)))
        lines.insert(Trim(l));
    for (const char *want : {"User=pi", "ExecStart=/usr/local/bin/respawner", "Restart=on-failure",
                             "StandardOutput=journal", "KillMode=process", "NoNewPrivileges=no",
                             "WantedBy=multi-user.target"})
        EXPECT_EQ(lines.count(want), 1u) << want;
}

}  // namespace
