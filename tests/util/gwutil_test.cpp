// The helpers the programs share (gwutil.h): writing all of a buffer,
// replacing a file whole.
#include "gwutil.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <string>

#include "test_support.h"

namespace {

// A socket pair's buffer takes less than the text at once: the rest follows
// in further writes as the reader drains it.
TEST(WriteAll, WritesEverythingThroughShortWrites) {
    int sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
    int small = 4096;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    std::string text(1 << 20, 'x');
    for (size_t i = 0; i < text.size(); i += 4099)
        text[i] = static_cast<char>('a' + i % 26);
    const pid_t reader = fork();
    ASSERT_GE(reader, 0);
    if (reader == 0) {
        close(sv[0]);
        std::string all;
        char buf[8192];
        ssize_t n;
        while ((n = read(sv[1], buf, sizeof buf)) > 0)
            all.append(buf, static_cast<size_t>(n));
        _exit(all == text ? 0 : 1);
    }
    close(sv[1]);
    EXPECT_TRUE(gwutil::write_all(sv[0], text));
    close(sv[0]);
    int status = 0;
    ASSERT_EQ(reader, waitpid(reader, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the reader got another text";
}

TEST(WriteAll, FailsWithTheErrnoOfTheWrite) {
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    close(fds[0]);
    signal(SIGPIPE, SIG_IGN);
    errno = 0;
    EXPECT_FALSE(gwutil::write_all(fds[1], std::string("lost")));
    EXPECT_EQ(errno, EPIPE);
    close(fds[1]);
}

TEST(ReplaceFile, KeepsTheModeAndWritesThroughALink) {
    gwtest::TempDir dir;
    gwtest::WriteFile(dir.file("dhcpcd.conf"), "old\n", 0640);
    ASSERT_EQ(0, symlink("dhcpcd.conf", dir.file("link").c_str()));
    std::string why;
    ASSERT_TRUE(gwutil::replace_file(dir.file("link"), "new\n", &why)) << why;
    EXPECT_EQ(gwtest::ReadFile(dir.file("dhcpcd.conf")), "new\n");
    struct stat st;
    ASSERT_EQ(0, lstat(dir.file("link").c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link stays a link";
    ASSERT_EQ(0, stat(dir.file("dhcpcd.conf").c_str(), &st));
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    ASSERT_TRUE(gwutil::replace_file(dir.file("fresh.conf"), "x\n", &why)) << why;
    ASSERT_EQ(0, stat(dir.file("fresh.conf").c_str(), &st));
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST(ReplaceFile, NeverWritesThroughAPlantedTemporaryName) {
    gwtest::TempDir dir;
    gwtest::WriteFile(dir.file("dhcpcd.conf"), "old\n");
    gwtest::WriteFile(dir.file("victim"), "keep\n");
    const std::string temp = dir.file(".dhcpcd.conf.gwagent." + std::to_string(getpid()));
    ASSERT_EQ(0, symlink(dir.file("victim").c_str(), temp.c_str()));
    std::string why;
    EXPECT_FALSE(gwutil::replace_file(dir.file("dhcpcd.conf"), "new\n", &why));
    EXPECT_NE(why.find("cannot create"), std::string::npos) << why;
    EXPECT_EQ(gwtest::ReadFile(dir.file("victim")), "keep\n");
    EXPECT_EQ(gwtest::ReadFile(dir.file("dhcpcd.conf")), "old\n");
}

}  // namespace
