// Fuzz harness: the network state probe's file parsing. Each input holds the
// three files the site scripts leave, "./ipaddr_1", "./gateway_1" and
// "./dns_1", separated by the byte 0x1E (a byte no probe treats specially);
// a file whose part is missing (fewer than two separators) is absent. The
// harness works in a temporary directory whose ipaddr.sh, gateway.sh and
// dns.sh are scripts that do nothing, writes the files there and runs
// getipaddr, getmask, getdefaultgateway, get_Primary_dns, get_Secondary_dns
// and getipaddress.
//
// Besides the sanitizers, each result is checked against the file format:
// at most the first 255 bytes count and the text ends at a NUL byte; tokens
// are cut strtok-style with one separator at a time; the chosen token is
// converted by inet_aton, a "(null)" token means no address (0). The model
// below works on std::string positions, independently of the module's
// strtok_r use.
//
// Every probe runs its script through system(): eleven shell commands per
// input, which bounds the speed (see docs/fuzzing.md).

#include "agent.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char kSeparator = '\x1e';
const char *const kFiles[3] = {"ipaddr_1", "gateway_1", "dns_1"};

[[noreturn]] void Fault(const char *what) {
    fprintf(stderr, "probe_fuzz: %s\n", what);
    abort();
}

void WriteFile(const char *name, const std::string &text, mode_t mode) {
    const int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
        close(fd) != 0)
        Fault("cannot write a file in the working directory");
}

// The probes' working directory: a fresh temporary one with three scripts
// that do nothing. The harness enters it for each input and goes back
// afterwards, so that libFuzzer's relative corpus paths keep working.
struct Rig {
    std::string dir;
    int devnull = -1;
    int home = -1;  // the directory the run started in

    Rig() {
        char tmpl[] = "/tmp/gwfuzz-probe.XXXXXX";
        if (!mkdtemp(tmpl)) Fault("mkdtemp failed");
        dir = tmpl;
        home = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (home < 0 || devnull < 0) Fault("cannot open the start directory or /dev/null");
        Enter();
        for (const char *script : {"ipaddr.sh", "gateway.sh", "dns.sh"})
            WriteFile(script, "#!/bin/sh\nexit 0\n", 0644);  // the probes chmod +x them
        Leave();
    }

    ~Rig() {
        Enter();
        for (const char *name : {"ipaddr.sh", "gateway.sh", "dns.sh"})
            unlink(name);
        for (const char *name : kFiles)
            unlink(name);
        Leave();
        rmdir(dir.c_str());
    }

    void Enter() const {
        if (chdir(dir.c_str()) != 0) Fault("cannot enter the working directory");
    }
    void Leave() const {
        if (fchdir(home) != 0) Fault("cannot go back to the start directory");
    }
};

Rig &TheRig() {
    static Rig rig;
    return rig;
}

// The text a probe sees in a file: the first 255 bytes, up to a NUL.
std::string Seen(const std::string &file) {
    std::string text = file.substr(0, 255);
    const size_t nul = text.find('\0');
    return nul == std::string::npos ? text : text.substr(0, nul);
}

// strtok with one separator per call on a position in text.
class Tokens {
public:
    explicit Tokens(const std::string &text) : text_(text) {}

    // Skips a run of sep; the token up to the next sep (which is consumed)
    // or the end. False when nothing but separators is left.
    bool Next(char sep, std::string *token) {
        while (pos_ < text_.size() && text_[pos_] == sep)
            ++pos_;
        if (pos_ >= text_.size()) return false;
        const size_t end = text_.find(sep, pos_);
        if (end == std::string::npos) {
            *token = text_.substr(pos_);
            pos_ = text_.size();
        } else {
            *token = text_.substr(pos_, end - pos_);
            pos_ = end + 1;
        }
        return true;
    }

private:
    const std::string &text_;
    size_t pos_ = 0;
};

uint32_t Converted(const std::string &token) {
    in_addr a;
    return inet_aton(token.c_str(), &a) ? ntohl(a.s_addr) : 0;
}

uint32_t Checked(const std::string &token) {
    return token.compare(0, 6, "(null)") == 0 ? 0 : Converted(token);
}

struct Expected {
    uint32_t ip = 0, mask = 0, gateway = 0, pri_dns = 0, sec_dns = 0, address = 0;
};

Expected Model(const std::string &ipaddr, const std::string &gateway, const std::string &dns) {
    Expected e;
    std::string t;
    {
        Tokens k(ipaddr);  // label ":" address " " ...
        if (k.Next(':', &t) && k.Next(' ', &t)) {
            e.ip = Checked(t);
            e.address = Converted(t);
        }
    }
    {
        Tokens k(ipaddr);  // three tokens with ":", the fourth with " "
        if (k.Next(':', &t) && k.Next(':', &t) && k.Next(':', &t) && k.Next(' ', &t))
            e.mask = Checked(t);
    }
    {
        Tokens k(gateway);  // word, address
        if (k.Next(' ', &t) && k.Next(' ', &t)) e.gateway = Checked(t);
    }
    {
        Tokens k(dns);  // word, primary (cut at a blank or line end), secondary
        if (k.Next(' ', &t) && k.Next(' ', &t)) {
            e.pri_dns = Checked(t.substr(0, t.find_first_of(" \r\n")));
            if (k.Next(' ', &t)) e.sec_dns = Converted(t);
        }
    }
    return e;
}

void Check(const char *probe, uint32_t got, uint32_t want) {
    if (got == want) return;
    fprintf(stderr, "probe_fuzz: %s gave 0x%08X, the file says 0x%08X\n", probe, got, want);
    Fault("a probe result does not match its file");
}

}  // namespace

// The probes never call the host; the store's other functions need these.
extern "C" int getDeviceConfig(uint8_t *) { return 0; }
extern "C" int setDeviceConfig(const uint8_t *) { return 0; }
extern "C" int NetMACAddressGet(uint8_t *mac) {
    memset(mac, 0, 6);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Rig &rig = TheRig();
    rig.Enter();
    const std::string input(reinterpret_cast<const char *>(data), size);

    std::string parts[3];
    bool present[3] = {false, false, false};
    size_t start = 0;
    for (int i = 0; i < 3; ++i) {
        const size_t end = i < 2 ? input.find(kSeparator, start) : std::string::npos;
        present[i] = true;
        parts[i] = input.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    for (int i = 0; i < 3; ++i) {
        if (present[i])
            WriteFile(kFiles[i], parts[i], 0644);
        else
            unlink(kFiles[i]);
    }

    uint32_t ip = 1, mask = 1, gateway = 1, pri = 1, sec = 1;
    getipaddr(&ip);
    getmask(&mask);
    getdefaultgateway(&gateway);
    get_Primary_dns(1, &pri);
    get_Secondary_dns(1, &sec);
    // getipaddress reports on stdout: keep that out of the fuzzer's output.
    fflush(stdout);
    const int saved = dup(1);
    dup2(rig.devnull, 1);
    const uint32_t address = getipaddress();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);

    rig.Leave();

    const Expected e = Model(Seen(parts[0]), Seen(parts[1]), Seen(parts[2]));
    Check("getipaddr", ip, e.ip);
    Check("getmask", mask, e.mask);
    Check("getdefaultgateway", gateway, e.gateway);
    Check("get_Primary_dns", pri, e.pri_dns);
    Check("get_Secondary_dns", sec, e.sec_dns);
    Check("getipaddress", address, e.address);
    return 0;
}
