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
    if (b == std::string::npos)
        return "";
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
        if (Trim(line).rfind("#", 0) == 0)
            continue;
        bool more = !line.empty() && line.back() == '\\';
        if (more)
            line.pop_back();
        cur += line;
        if (!more) {
            if (!Trim(cur).empty())
                out.push_back(Trim(cur));
            cur.clear();
        }
    }
    return out;
}

std::string WithoutSudo(const char *command) {
    std::string c = command;
    return c.substr(c.find(' ') + 1);
}

// The commands the system runs as "sudo <command>", with the paths under
// which sudo finds them on images with and without a merged /usr. The
// forwarder, run as "./basic_pkt_fwd" from its directory, may take no
// arguments.
std::set<std::string> SystemCommands() {
    std::set<std::string> want;
    for (const char *dir : {"/usr/sbin/", "/sbin/"}) {
        want.insert(dir + WithoutSudo(respawn::kDhcpRelease));
        want.insert(dir + WithoutSudo(respawn::kDhcpRebind));
    }
    want.insert(std::string(respawn::kForwarderDir) + "/basic_pkt_fwd \"\"");
    // The configuration daemon's clock command: sudo date -s "<text>".
    want.insert("/usr/bin/date -s *");
    want.insert("/bin/date -s *");
    return want;
}

TEST(SudoersDropIn, AllowsExactlyTheCommandsRunThroughSudo) {
    std::map<std::string, std::vector<std::string>> aliases;
    std::vector<std::string> entries;
    for (const auto &line : SudoersLines(gwtest::ReadFile(kDropIn))) {
        if (line.rfind("Cmnd_Alias ", 0) == 0) {
            auto eq = line.find('=');
            ASSERT_NE(eq, std::string::npos) << line;
            aliases[Trim(line.substr(11, eq - 11))] = SplitList(line.substr(eq + 1));
        } else {
            entries.push_back(line);
        }
    }
    ASSERT_EQ(entries.size(), 1u) << "one user entry expected";
    const std::string prefix = "pi ALL=(root) NOPASSWD: ";
    ASSERT_EQ(entries[0].rfind(prefix, 0), 0u) << entries[0];

    std::set<std::string> allowed;
    for (const auto &item : SplitList(entries[0].substr(prefix.size()))) {
        auto a = aliases.find(item);
        if (a == aliases.end())
            allowed.insert(item);
        else
            allowed.insert(a->second.begin(), a->second.end());
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
                             "StandardOutput=journal", "KillMode=process",
                             "WantedBy=multi-user.target"})
        EXPECT_EQ(lines.count(want), 1u) << want;
}

}  // namespace
