#include "test_support.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace gwtest {

TempDir::TempDir() {
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/gwtest.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error(std::string("mkdtemp: ") + strerror(errno));
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

CaptureFd::CaptureFd(int fd) : fd_(fd) {
    char tmpl[] = "/tmp/gwcapture.XXXXXX";
    int tmp = mkstemp(tmpl);
    if (tmp < 0) throw std::runtime_error("mkstemp failed");
    path_ = tmpl;
    fflush(fd == 1 ? stdout : stderr);
    saved_ = dup(fd);
    dup2(tmp, fd);
    close(tmp);
}

void CaptureFd::restore() {
    if (done_) return;
    done_ = true;
    fflush(fd_ == 1 ? stdout : stderr);
    dup2(saved_, fd_);
    close(saved_);
    text_ = ReadFile(path_);
    unlink(path_.c_str());
}

CaptureFd::~CaptureFd() { restore(); }

std::string CaptureFd::text() {
    restore();
    return text_;
}

ScopedCwd::ScopedCwd(const std::string &dir) {
    char buf[4096];
    if (!getcwd(buf, sizeof buf)) throw std::runtime_error("getcwd failed");
    old_ = buf;
    if (chdir(dir.c_str()) != 0) throw std::runtime_error("chdir " + dir + " failed");
}

ScopedCwd::~ScopedCwd() {
    if (chdir(old_.c_str()) != 0) perror("chdir back");
}

FakeSudo::FakeSudo() {
    log_ = dir_.file("sudo.log");
    WriteFile(log_, "");
    WriteFile(dir_.file("sudo"),
              "#!/bin/sh\n"
              "printf '%s\\t%s\\t%s\\n' \"$(date +%s.%N)\" \"$(pwd)\" \"$*\" >> '" +
                  log_ +
                  "'\n"
                  "exit 0\n",
              0755);
    const char *p = getenv("PATH");
    old_path_ = p ? p : "";
    setenv("PATH", (dir_.path() + ":" + old_path_).c_str(), 1);
}

FakeSudo::~FakeSudo() { setenv("PATH", old_path_.c_str(), 1); }

std::vector<std::string> FakeSudo::calls() const {
    std::vector<std::string> out;
    for (const auto &line : SplitLines(ReadFile(log_))) {
        auto last = line.rfind('\t');
        out.push_back(last == std::string::npos ? line : line.substr(last + 1));
    }
    return out;
}

Process::Process(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                 const std::string &cwd) {
    const std::string out = dir_.file("stdout"), err = dir_.file("stderr");
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int n = open("/dev/null", O_RDONLY);
        dup2(n, 0);
        dup2(o, 1);
        dup2(e, 2);
        for (const auto &kv : env)
            putenv(const_cast<char *>(kv.c_str()));
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        execvp(args[0], args.data());
        _exit(127);
    }
}

Process::~Process() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
    }
}

void Process::Signal(int sig) {
    if (pid_ > 0 && !reaped_) kill(pid_, sig);
}

bool Process::Running() {
    if (reaped_) return false;
    int st;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        reaped_ = true;
        status_ = st;
        return false;
    }
    return true;
}

int Process::Wait(int timeout_ms) {
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (Running()) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long elapsed = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (elapsed >= timeout_ms) return -1;
        usleep(2000);
    }
    if (WIFEXITED(status_)) return WEXITSTATUS(status_);
    if (WIFSIGNALED(status_)) return 128 + WTERMSIG(status_);
    return -1;
}

std::string Process::Stdout() const { return ReadFile(dir_.file("stdout")); }
std::string Process::Stderr() const { return ReadFile(dir_.file("stderr")); }

int RunProgram(const std::vector<std::string> &argv, std::string *out, std::string *err,
               int timeout_ms, const std::vector<std::string> &env, const std::string &cwd) {
    Process p(argv, env, cwd);
    int status = p.Wait(timeout_ms);
    if (status == -1) {
        p.Signal(SIGKILL);
        p.Wait(5000);
    }
    if (out) *out = p.Stdout();
    if (err) *err = p.Stderr();
    return status;
}

void WriteFile(const std::string &path, const std::string &content, int mode) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out) throw std::runtime_error("cannot write " + path);
        out << content;
    }
    chmod(path.c_str(), mode);
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool FileExists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> SplitLines(const std::string &text) {
    std::vector<std::string> lines;
    std::string cur;
    for (char c : text) {
        if (c == '\n') {
            lines.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) lines.push_back(cur);
    return lines;
}

}  // namespace gwtest
