// gwcfgd_guard.cpp - one daemon per port and state directory, and a state
// directory that no other account can write.
//
// Two daemons on one state directory would overwrite each other's stored
// block and global_conf.json, and a second process on the port would take
// the tool's requests while the first falls silent. The daemon therefore
// holds an fcntl lock on kLockFile for its whole life and binds its port
// without SO_REUSEADDR; a second start fails and names the process that is
// in the way.
//
// Everything the daemon writes lands in the state directory under names
// known in advance, so an account that could write there could plant a
// link where the daemon writes next. Such a directory is refused at start.
#include "gwcfgd.h"

#include "gwutil.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace gwcfgd {
namespace {

// The pid in text (digits, then perhaps blanks and newlines, as the lock
// file and /proc's entries hold it), or -1 when text is not one.
int parse_pid(const char *text) {
    std::string digits(text);
    while (!digits.empty() && (digits.back() == '\n' || digits.back() == ' '))
        digits.pop_back();
    int pid = -1;
    return gwutil::parse_decimal(digits, 1, INT_MAX, &pid) ? pid : -1;
}

// The inodes of the sockets bound to a UDP port, from /proc/self/net/udp
// (/proc/net/udp, also where only the process entries of /proc are seen).
std::string udp_socket_inodes(int port) {
    std::ifstream in("/proc/self/net/udp");
    std::string line, inodes;
    std::getline(in, line);  // header
    char want[8];
    snprintf(want, sizeof want, ":%04X", port);
    while (std::getline(in, line)) {
        // sl local_address rem_address st tx:rx tr:tm retrnsmt uid timeout inode
        char local[64];
        unsigned long inode = 0;
        if (sscanf(line.c_str(), " %*s %63s %*s %*s %*s %*s %*s %*s %*s %lu", local, &inode) != 2)
            continue;
        const size_t len = strlen(local);
        if (len > 5 && strcmp(local + len - 5, want) == 0 && inode != 0)
            inodes += "socket:[" + std::to_string(inode) + "]\n";
    }
    return inodes;
}

}  // namespace

std::string describe_process(int pid) {
    if (pid <= 0) return "another process";
    std::string text = "process " + std::to_string(pid);
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    if (comm && std::getline(comm, name) && !name.empty()) text += " (" + name + ")";
    return text;
}

bool check_state_dir(const std::string &shown, std::string *error) {
    struct stat st;
    if (stat(".", &st) != 0) {
        *error = "cannot inspect state directory " + shown + ": " + strerror(errno);
        return false;
    }
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        *error = "state directory " + shown + " can be written by other accounts (mode " + mode +
                 "): they could plant links where gwcfgd writes. Run chmod go-w " + shown +
                 ", or give a directory only this account can write with --state-dir DIR.";
        return false;
    }
    if (st.st_uid != geteuid() && st.st_uid != 0) {
        *error = "state directory " + shown + " belongs to another account (uid " +
                 std::to_string(st.st_uid) +
                 "), which could change its permissions. Give gwcfgd a directory of its own "
                 "account with --state-dir DIR.";
        return false;
    }
    return true;
}

bool lock_state_dir(const std::string &shown, std::string *error) {
    // The descriptor stays open for the life of the process: closing any
    // descriptor of the file would drop the lock.
    const int fd = open(kLockFile, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = "cannot open " + shown + "/" + kLockFile + ": " + strerror(errno);
        return false;
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_SETLK, &lock) != 0) {
        const int err = errno;
        if (err != EACCES && err != EAGAIN) {
            *error = "cannot lock " + shown + "/" + kLockFile + ": " + strerror(err);
            close(fd);
            return false;
        }
        int holder = 0;
        struct flock who {};
        who.l_type = F_WRLCK;
        who.l_whence = SEEK_SET;
        if (fcntl(fd, F_GETLK, &who) == 0 && who.l_type != F_UNLCK && who.l_pid > 0) {
            holder = who.l_pid;
        } else {
            // In another pid namespace: the pid the holder wrote.
            char text[32] = {};
            if (pread(fd, text, sizeof text - 1, 0) > 0) holder = parse_pid(text);
        }
        close(fd);
        *error = "state directory " + shown + " is in use by " + describe_process(holder) +
                 ". Stop it first, or give this gwcfgd a state directory of its own with "
                 "--state-dir DIR.";
        return false;
    }
    char text[32];
    const int n = snprintf(text, sizeof text, "%d\n", static_cast<int>(getpid()));
    if (ftruncate(fd, 0) != 0 || pwrite(fd, text, static_cast<size_t>(n), 0) != n) {
        // The pid is only a hint for whoever finds the lock taken.
    }
    return true;
}

int find_udp_port_holder(int port) {
    const std::string inodes = udp_socket_inodes(port);
    if (inodes.empty()) return -1;
    const int self = getpid();
    DIR *proc = opendir("/proc");
    if (!proc) return -1;
    int found = -1;
    while (const dirent *e = readdir(proc)) {
        const int pid = parse_pid(e->d_name);
        if (pid <= 0 || pid == self) continue;
        const std::string fds = std::string("/proc/") + e->d_name + "/fd";
        DIR *dir = opendir(fds.c_str());
        if (!dir) continue;  // not ours to look into
        while (const dirent *f = readdir(dir)) {
            char target[64];
            const std::string link = fds + "/" + f->d_name;
            const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            if (n <= 0) continue;
            target[n] = '\0';
            if (inodes.find(std::string(target) + "\n") != std::string::npos) {
                found = pid;
                break;
            }
        }
        closedir(dir);
        if (found > 0) break;
    }
    closedir(proc);
    return found;
}

}  // namespace gwcfgd
