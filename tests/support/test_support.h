// Small helpers shared by the test executables: scratch directories,
// capturing a standard stream, files, and a fake sudo on PATH.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace gwtest {

// A fresh directory under $TMPDIR (or /tmp), removed with its content when
// the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Redirects one file descriptor (1 or 2) into a scratch file from
// construction until text() or destruction; text() restores the stream and
// returns everything written in between.
class CaptureFd {
public:
    explicit CaptureFd(int fd);
    ~CaptureFd();
    CaptureFd(const CaptureFd &) = delete;
    CaptureFd &operator=(const CaptureFd &) = delete;
    std::string text();

private:
    void restore();
    int fd_;
    int saved_ = -1;
    std::string path_;
    std::string text_;
    bool done_ = false;
};

// Changes the working directory for the object's lifetime.
class ScopedCwd {
public:
    explicit ScopedCwd(const std::string &dir);
    ~ScopedCwd();

private:
    std::string old_;
};

// Sets the process's umask for the object's lifetime.
class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask) : old_(umask(mask)) {}
    ~ScopedUmask() { umask(old_); }

private:
    mode_t old_;
};

// Puts a directory holding a fake `sudo` first on PATH for the object's
// lifetime. The fake appends one line per call to its log:
//   <unix time with fraction>\t<working directory>\t<arguments joined by spaces>
// and runs nothing.
class FakeSudo {
public:
    FakeSudo();
    ~FakeSudo();
    FakeSudo(const FakeSudo &) = delete;
    FakeSudo &operator=(const FakeSudo &) = delete;
    const std::string &log_path() const { return log_; }
    std::string bin_dir() const { return dir_.path(); }
    // The logged argument texts, one per call, in order.
    std::vector<std::string> calls() const;

private:
    TempDir dir_;
    std::string log_;
    std::string old_path_;
};

// A child process started with fork/exec; its stdout and stderr go to
// files in a scratch directory. The destructor kills (SIGKILL) and reaps it
// if it is still running.
class Process {
public:
    // argv[0] is the program path. Extra environment entries ("NAME=value")
    // are added to the test's own environment. cwd empty keeps the test's.
    explicit Process(const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
                     const std::string &cwd = "");
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    int pid() const { return pid_; }
    // Sends a signal to the child (only to it, never to a group).
    void Signal(int sig);
    // Waits up to timeout_ms for the child to end; returns its exit status
    // (0-255), 128 + signal number if a signal ended it, or -1 on time-out.
    int Wait(int timeout_ms);
    bool Running();
    std::string Stdout() const;
    std::string Stderr() const;

private:
    TempDir dir_;
    int pid_ = -1;
    int status_ = -1;
    bool reaped_ = false;
};

// Runs a program to completion (bounded by timeout_ms, then killed) and
// returns its exit status as Process::Wait does; stdout and stderr are
// stored in *out and *err when given.
int RunProgram(const std::vector<std::string> &argv, std::string *out = nullptr,
               std::string *err = nullptr, int timeout_ms = 30000,
               const std::vector<std::string> &env = {}, const std::string &cwd = "");

void WriteFile(const std::string &path, const std::string &content, int mode = 0644);
std::string ReadFile(const std::string &path);
bool FileExists(const std::string &path);
std::vector<std::string> SplitLines(const std::string &text);

}  // namespace gwtest
