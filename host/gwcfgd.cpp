// gwcfgd - reference host daemon for the configuration agent.
//
// Owns the UDP socket and the main loop, links the agent modules, and keeps
// the gateway's configuration in its state directory (gwcfgd_state.cpp).
// Start-up: umask 027, options, the profiles (merged in order and held
// against the forwarder's rules), the state directory as working directory
// (refused when other accounts can write it) and its lock, the socket
// (never shared with another process), then InitSystemConfig (factory
// defaults and the live network settings from the site scripts there), then
// the stored configuration or the defaults with the profiles, then
// global_conf.json once if the forwarder takes the configuration. Then one
// datagram after another until SIGINT or SIGTERM.

#include "agent.h"
#include "cli.h"
#include "config_block.h"
#include "gwcfgd.h"
#include "gwutil.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timex.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int kDefaultPort = gwblock::kDefaultPort;

volatile sig_atomic_t g_stop = 0;

void on_signal(int) { g_stop = 1; }

void usage(FILE *out) {
    const gwcfgd::Limits d = gwcfgd::default_limits();
    fprintf(out,
            "usage: gwcfgd [options]\n"
            "\n"
            "Serves the gateway configuration protocol on UDP.\n"
            "The protocol carries no authentication: confine it with --allow-from,\n"
            "a firewall rule or --bind.\n"
            "\n"
            "  --bind ADDR    IPv4 address to listen on (default 127.0.0.1;\n"
            "                 0.0.0.0 to serve the LAN)\n"
            "  --port N       UDP port (default %d)\n"
            "  --mac MAC      the gateway's MAC address, as XX:XX:XX:XX:XX:XX\n"
            "  --iface NAME   read the MAC address from /sys/class/net/NAME/address\n"
            "                 (used when --mac is not given)\n"
            "  --state-dir DIR\n"
            "                 working directory: holds the site scripts ipaddr.sh,\n"
            "                 gateway.sh and dns.sh, the stored configuration\n"
            "                 (%s), its history and global_conf.json (default:\n"
            "                 the current directory); only this account may write it\n"
            "  --profile FILE JSON with the sections and keys of global_conf.json,\n"
            "                 applied over the factory defaults when no valid\n"
            "                 configuration is stored; may be given more than once\n"
            "                 (a region plan and the site settings), applied in\n"
            "                 order. Together they must give a configuration the\n"
            "                 forwarder takes (see the shipped profiles)\n"
            "  --conf-dir DIR write global_conf.json into DIR (the forwarder's\n"
            "                 directory) instead of the state directory\n"
            "  --restart-requests\n"
            "                 after each applied update, ask the respawner to\n"
            "                 restart the running basic_pkt_fwd, until one runs\n"
            "                 that started after the newest global_conf.json,\n"
            "                 and watch it: a change that stops the forwarder is\n"
            "                 rolled back\n"
            "  --confirm-window SECONDS\n"
            "                 how long the forwarder that starts with a change\n"
            "                 must run for the change to be confirmed (default\n"
            "                 %u; 0: changes are not watched)\n"
            "  --confirm-from-any\n"
            "                 take gwcfg confirm from any allowed source, not\n"
            "                 only from the address that sent the change\n"
            "  --start-timeout SECONDS\n"
            "                 how long a forwarder may take to start with a change\n"
            "                 (default %u)\n"
            "  --fixed-ip-command CMD\n"
            "                 apply the fixed settings with \"CMD set ADDR/PREFIX\n"
            "                 GATEWAY\" (networkmode 1) or \"CMD clear\" with the\n"
            "                 first update and every update that changes them,\n"
            "                 before its restart request; refuses fixed settings\n"
            "                 that cannot work\n"
            "  --allow-from CIDR[,CIDR...]\n"
            "                 handle datagrams only from these IPv4 networks\n"
            "                 (A.B.C.D or A.B.C.D/N; may be given more than once);\n"
            "                 others are dropped before the handler\n"
            "  --limit KIND=PER_SOURCE[/TOTAL]\n"
            "                 datagrams per second handled from one source address\n"
            "                 and from all together, 0: no limit; KIND and defaults:\n"
            "                 discovery=%u/%u command=%u/%u update=%u/%u other=%u/%u\n"
            "  --discovery-rate N\n"
            "                 the same as --limit discovery=N\n"
            "  --timesync WHEN\n"
            "                 when TimeSync may set the clock: always (default) or\n"
            "                 unsynchronised (only while NTP does not keep it)\n"
            "  --help         show this text\n"
            "  --version      print the version\n",
            kDefaultPort, gwcfgd::kBlockFile, gwcfgd::kDefaultWindowSeconds,
            gwcfgd::kDefaultStartTimeoutSeconds, d[0].per_source, d[0].total, d[1].per_source,
            d[1].total, d[2].per_source, d[2].total, d[3].per_source, d[3].total);
}

// The TimeSync gate of --timesync unsynchronised: refuses while the kernel
// reports the clock synchronised (by an NTP client: systemd-timesyncd,
// chrony, ntpd). When the state cannot be read, TimeSync is let through.
const char *refuse_while_synchronised() {
    timex tx{};
    const int state = ntp_adjtime(&tx);
    if (state == -1 || state == TIME_ERROR || (tx.status & STA_UNSYNC)) return nullptr;
    return "the clock is synchronised by NTP";
}

// The colon form only ("02:00:00:00:00:01"), as --mac's help and sysfs
// write it, read by the codec's parser.
bool parse_mac(const std::string &text, uint8_t mac[6]) {
    return text.size() > 2 && text[2] == ':' && gwblock::parse_mac(text, mac);
}

bool mac_from_iface(const std::string &iface, uint8_t mac[6], std::string *error) {
    if (iface.empty() || iface.find('/') != std::string::npos || iface == "." || iface == "..") {
        *error = "not an interface name";
        return false;
    }
    const std::string path = "/sys/class/net/" + iface + "/address";
    std::ifstream in(path);
    std::string text;
    if (!in || !std::getline(in, text)) {
        *error = "cannot read " + path;
        return false;
    }
    if (!parse_mac(text, mac)) {
        *error = path + " does not hold a MAC address";
        return false;
    }
    return true;
}

// Tells systemd (Type=notify) that the daemon serves and that
// global_conf.json is written: units ordered after gwcfgd.service start the
// forwarder only then. Nothing happens outside systemd.
void notify_ready() {
    const char *path = getenv("NOTIFY_SOCKET");
    if (!path || (path[0] != '/' && path[0] != '@') ||
        strlen(path) >= sizeof(sockaddr_un::sun_path))
        return;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path, strlen(path));
    if (addr.sun_path[0] == '@') addr.sun_path[0] = '\0';  // abstract namespace
    const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + strlen(path));
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    const char msg[] = "READY=1";
    if (sendto(fd, msg, sizeof msg - 1, 0, reinterpret_cast<sockaddr *>(&addr), len) < 0)
        gwcfgd::log_line("cannot notify systemd: %s", strerror(errno));
    close(fd);
}

int bad_usage(const char *msg, const char *arg) {
    fprintf(stderr, "gwcfgd: %s%s%s\n", msg, arg ? ": " : "", arg ? arg : "");
    fprintf(stderr, "gwcfgd: Try 'gwcfgd --help' for the options.\n");
    return gwcli::kExitUsage;
}

// A decimal number from 0 to max, digits only.
bool parse_count(const char *text, long max, long *out) {
    return gwutil::parse_decimal(text, 0L, max, out);
}

// Everything the command line sets.
struct Options {
    std::string bind_addr = "127.0.0.1";
    long port = kDefaultPort;
    gwcfgd::Limits limits = gwcfgd::default_limits();
    gwcfgd::AllowList allow;
    bool timesync_only_unsynchronised = false;
    std::string mac_text, iface, state_dir, conf_dir, fixed_ip_command;
    std::vector<std::string> profile_paths;
    bool restart_requests = false;
    bool confirm_from_any = false;
    long window_s = gwcfgd::kDefaultWindowSeconds;
    long start_timeout_s = gwcfgd::kDefaultStartTimeoutSeconds;
};

// Fills *options from the command line. False when the program ends here,
// with *status its exit status: 0 after --help or --version, kExitUsage
// after a message about an option or argument it cannot take.
bool parse_options(int argc, char **argv, Options *options, int *status) {
    enum {
        kStateDir = 256,
        kProfile,
        kRestart,
        kRate,
        kLimit,
        kAllow,
        kTimeSync,
        kConfDir,
        kFixedIp,
        kWindow,
        kStartTimeout,
        kConfirmAny
    };
    static const option longopts[] = {{"bind", required_argument, nullptr, 'b'},
                                      {"port", required_argument, nullptr, 'p'},
                                      {"mac", required_argument, nullptr, 'm'},
                                      {"iface", required_argument, nullptr, 'i'},
                                      {"state-dir", required_argument, nullptr, kStateDir},
                                      {"profile", required_argument, nullptr, kProfile},
                                      {"restart-requests", no_argument, nullptr, kRestart},
                                      {"discovery-rate", required_argument, nullptr, kRate},
                                      {"limit", required_argument, nullptr, kLimit},
                                      {"allow-from", required_argument, nullptr, kAllow},
                                      {"timesync", required_argument, nullptr, kTimeSync},
                                      {"conf-dir", required_argument, nullptr, kConfDir},
                                      {"fixed-ip-command", required_argument, nullptr, kFixedIp},
                                      {"confirm-window", required_argument, nullptr, kWindow},
                                      {"start-timeout", required_argument, nullptr, kStartTimeout},
                                      {"confirm-from-any", no_argument, nullptr, kConfirmAny},
                                      {"help", no_argument, nullptr, 'h'},
                                      {"version", no_argument, nullptr, 'V'},
                                      {nullptr, 0, nullptr, 0}};
    Options &o = *options;
    const auto stop = [status](int code) {
        *status = code;
        return false;
    };
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
        switch (c) {
            case 'b':
                o.bind_addr = optarg;
                break;
            case 'p':
                if (!parse_count(optarg, 65535, &o.port) || o.port < 1)
                    return stop(bad_usage("--port wants a number from 1 to 65535", optarg));
                break;
            case 'm':
                o.mac_text = optarg;
                break;
            case 'i':
                o.iface = optarg;
                break;
            case kStateDir:
                o.state_dir = optarg;
                break;
            case kProfile:
                o.profile_paths.push_back(optarg);
                break;
            case kRestart:
                o.restart_requests = true;
                break;
            case kConfDir:
                o.conf_dir = optarg;
                break;
            case kFixedIp:
                o.fixed_ip_command = optarg;
                break;
            case kWindow:
                if (!parse_count(optarg, 86400, &o.window_s))
                    return stop(
                        bad_usage("--confirm-window wants seconds from 0 to 86400", optarg));
                break;
            case kConfirmAny:
                o.confirm_from_any = true;
                break;
            case kStartTimeout:
                if (!parse_count(optarg, 3600, &o.start_timeout_s) || o.start_timeout_s < 1)
                    return stop(bad_usage("--start-timeout wants seconds from 1 to 3600", optarg));
                break;
            case kRate: {
                long rate = 0;
                if (!parse_count(optarg, 1000000, &rate))
                    return stop(
                        bad_usage("--discovery-rate wants a number from 0 to 1000000", optarg));
                o.limits[static_cast<size_t>(gwcfgd::Kind::Discovery)].per_source =
                    static_cast<unsigned>(rate);
                break;
            }
            case kLimit: {
                std::string error;
                if (!gwcfgd::parse_limit(optarg, &o.limits, &error))
                    return stop(bad_usage(error.c_str(), optarg));
                break;
            }
            case kAllow: {
                std::string error;
                if (!o.allow.add(optarg, &error)) return stop(bad_usage(error.c_str(), nullptr));
                break;
            }
            case kTimeSync:
                if (strcmp(optarg, "always") == 0)
                    o.timesync_only_unsynchronised = false;
                else if (strcmp(optarg, "unsynchronised") == 0 ||
                         strcmp(optarg, "unsynchronized") == 0)
                    o.timesync_only_unsynchronised = true;
                else
                    return stop(bad_usage("--timesync wants always or unsynchronised", optarg));
                break;
            case 'h':
                usage(stdout);
                return stop(0);
            case 'V':
                fputs(gwcli::version_line("gwcfgd").c_str(), stdout);
                return stop(0);
            default:
                return stop(bad_usage("unknown option or missing value", argv[optind - 1]));
        }
    }
    if (optind < argc) return stop(bad_usage("unexpected argument", argv[optind]));
    return true;
}

// The gateway's MAC address from --mac or --iface. False with *status the
// exit status after the messages that say what to give instead.
bool resolve_mac(const Options &o, uint8_t mac[6], int *status) {
    if (!o.mac_text.empty()) {
        if (parse_mac(o.mac_text, mac)) return true;
        *status = bad_usage("--mac wants XX:XX:XX:XX:XX:XX", o.mac_text.c_str());
        return false;
    }
    *status = 2;
    if (!o.iface.empty()) {
        std::string error;
        if (mac_from_iface(o.iface, mac, &error)) return true;
        fprintf(stderr, "gwcfgd: no MAC address for interface %s: %s\n", o.iface.c_str(),
                error.c_str());
        fprintf(stderr, "gwcfgd: Give the address with --mac XX:XX:XX:XX:XX:XX.\n");
        return false;
    }
    fprintf(stderr, "gwcfgd: the gateway's MAC address is unknown\n");
    fprintf(stderr,
            "gwcfgd: Give it with --mac XX:XX:XX:XX:XX:XX or name the interface with "
            "--iface NAME.\n");
    return false;
}

// The profiles, read and merged in order into *profile. False with *status
// the exit status after the messages.
bool load_profiles(const Options &o, Json::Value *profile, int *status) {
    for (const std::string &path : o.profile_paths) {
        Json::Value one;
        std::string error;
        if (!gwcfgd::load_profile(path, &one, &error)) {
            fprintf(stderr, "gwcfgd: %s\n", error.c_str());
            fprintf(stderr, "gwcfgd: Fix the file or start without --profile.\n");
            *status = 2;
            return false;
        }
        gwblock::merge_json_profile(profile, one);
    }
    return true;
}

// Makes the state directory the working directory, checks it and takes its
// lock. False with *status the exit status after the messages.
bool enter_state_dir(const Options &o, int *status) {
    *status = 1;
    if (!o.state_dir.empty() && chdir(o.state_dir.c_str()) != 0) {
        fprintf(stderr, "gwcfgd: cannot use state directory %s: %s\n", o.state_dir.c_str(),
                strerror(errno));
        fprintf(stderr,
                "gwcfgd: Create it and put the site scripts ipaddr.sh, gateway.sh and dns.sh "
                "there.\n");
        return false;
    }
    const std::string shown_dir = o.state_dir.empty() ? "." : o.state_dir;
    if (access(".", W_OK) != 0) {
        fprintf(stderr, "gwcfgd: state directory %s is not writable: %s\n", shown_dir.c_str(),
                strerror(errno));
        fprintf(stderr, "gwcfgd: Give a writable directory with --state-dir DIR.\n");
        return false;
    }
    std::string error;
    if (!gwcfgd::check_state_dir(shown_dir, &error) || !gwcfgd::lock_state_dir(shown_dir, &error)) {
        fprintf(stderr, "gwcfgd: %s\n", error.c_str());
        return false;
    }
    return true;
}

// Profiles that together break a rule of the forwarder are a start error,
// but for a gateway that has a stored configuration, which they would not
// touch: it stays reachable and says error in one line. False with *status
// the exit status after the messages.
bool check_profiles(const Options &o, const Json::Value &profile, int *status) {
    std::string error;
    if (o.profile_paths.empty() || gwcfgd::check_profile(profile, &error)) return true;
    if (!gwcfgd::has_stored_configuration()) {
        fprintf(stderr, "gwcfgd: the profiles give a configuration the forwarder refuses: %s\n",
                error.c_str());
        fprintf(stderr,
                "gwcfgd: Fix the profile, or add one that sets the keys it lacks (the "
                "shipped profiles: a region plan and site-defaults.json).\n");
        *status = 2;
        return false;
    }
    fprintf(stderr,
            "gwcfgd: the profiles give a configuration the forwarder refuses, not used "
            "while a configuration is stored: %s\n",
            error.c_str());
    return true;
}

// The daemon's UDP socket, bound to addr; -1 after the messages when it
// cannot be had. No SO_REUSEADDR: with it, a second process could bind the
// same port and take the requests meant for this one.
int open_socket(const Options &o, const sockaddr_in &addr) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        perror("gwcfgd: socket");
        return -1;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    if (bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        const int err = errno;
        std::string holder;
        if (err == EADDRINUSE) {
            const int pid = gwcfgd::find_udp_port_holder(static_cast<int>(o.port));
            holder = " (held by " + gwcfgd::describe_process(pid) + ")";
        }
        fprintf(stderr, "gwcfgd: cannot listen on %s:%ld: %s%s\n", o.bind_addr.c_str(), o.port,
                strerror(err), holder.c_str());
        fprintf(stderr, "gwcfgd: Stop whatever holds the port or choose another with --port N.\n");
        close(fd);
        return -1;
    }
    return fd;
}

// The UDP socket systemd passed (socket activation, gwcfgd.socket): fd 3
// when LISTEN_PID is this process and LISTEN_FDS is 1. -1 when none was
// passed (then --bind and --port open one), -2 after a message when what
// was passed cannot serve. *shown: the socket's address and port. The
// variables are removed, so that nothing this daemon runs takes them.
int socket_from_systemd(std::string *shown) {
    const char *pid_text = getenv("LISTEN_PID");
    const char *fds_text = getenv("LISTEN_FDS");
    const bool ours = pid_text && fds_text && strtol(pid_text, nullptr, 10) == getpid();
    const long fds = ours ? strtol(fds_text, nullptr, 10) : 0;
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    if (!ours || fds == 0) return -1;
    constexpr int kFd = 3;  // SD_LISTEN_FDS_START
    int type = 0, domain = 0;
    socklen_t len = sizeof type;
    sockaddr_in addr{};
    socklen_t addr_len = sizeof addr;
    if (fds != 1 || getsockopt(kFd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 ||
        (len = sizeof domain, getsockopt(kFd, SOL_SOCKET, SO_DOMAIN, &domain, &len) != 0) ||
        type != SOCK_DGRAM || domain != AF_INET ||
        getsockname(kFd, reinterpret_cast<sockaddr *>(&addr), &addr_len) != 0) {
        fprintf(stderr,
                "gwcfgd: systemd passed %ld sockets, not one IPv4 UDP socket; check "
                "gwcfgd.socket (ListenDatagram=0.0.0.0:%d)\n",
                fds, kDefaultPort);
        return -2;
    }
    fcntl(kFd, F_SETFD, FD_CLOEXEC);
    fcntl(kFd, F_SETFL, fcntl(kFd, F_GETFL) | O_NONBLOCK);
    int one = 1;
    setsockopt(kFd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    char ip[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &addr.sin_addr, ip, sizeof ip);
    *shown = std::string(ip) + ":" + std::to_string(ntohs(addr.sin_port));
    return kFd;
}

// One datagram after another until SIGINT or SIGTERM; between them the
// restart requests, the watch and the log flush. The exit status.
int serve(int fd, gwcfgd::Admission *admission) {
    gwcfgd::LogFlusher flusher;
    int status = 0;
    while (!g_stop) {
        pollfd p{fd, POLLIN, 0};
        int n = poll(&p, 1,
                     flusher.poll_timeout_ms(gwcfgd::monotonic_ns(),
                                             gwcfgd::restart_poll_timeout_ms(
                                                 gwcfgd::watch_active() ? 250 : 1000)));
        if (n < 0) {
            if (errno == EINTR) continue;
            gwcfgd::log_line("poll: %s", strerror(errno));
            status = 1;
            break;
        }
        if (n > 0 && (p.revents & POLLIN)) gwcfgd::serve_ready(fd, admission);
        gwcfgd::restart_tick(gwcfgd::monotonic_ns());
        gwcfgd::watch_tick();
        flusher.tick(gwcfgd::monotonic_ns());
    }
    return status;
}

// Start-up after the options (see the top of this file), then serve().
// The exit status.
int run(const Options &o) {
    int status = 0;
    uint8_t mac[6];
    if (!resolve_mac(o, mac, &status)) return status;
    gwcfgd::set_mac(mac);
    gwcfgd::set_restart_requests(o.restart_requests);
    gwcfgd::set_fixed_ip_command(o.fixed_ip_command);
    gwcfgd::set_confirm_from_any(o.confirm_from_any);
    gwcfgd::set_watch_times(static_cast<unsigned>(o.window_s),
                            static_cast<unsigned>(o.start_timeout_s));
    if (!o.conf_dir.empty()) {
        // Absolute, so that it holds after the change to the state directory.
        char *real = realpath(o.conf_dir.c_str(), nullptr);
        if (!real) {
            fprintf(stderr, "gwcfgd: cannot use %s for global_conf.json: %s\n", o.conf_dir.c_str(),
                    strerror(errno));
            fprintf(stderr,
                    "gwcfgd: Install the forwarder there first, or give its directory "
                    "with --conf-dir DIR.\n");
            return 1;
        }
        gwcfgd::set_conf_dir(real);
        free(real);
    }
    if (o.timesync_only_unsynchronised) set_timesync_gate(refuse_while_synchronised);

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(o.port));
    if (inet_pton(AF_INET, o.bind_addr.c_str(), &addr.sin_addr) != 1)
        return bad_usage("--bind wants an IPv4 address", o.bind_addr.c_str());

    // Read before the change of directory: a relative path names a file
    // where the daemon was started.
    Json::Value profile;
    if (!load_profiles(o, &profile, &status) || !enter_state_dir(o, &status) ||
        !check_profiles(o, profile, &status))
        return status;

    // Under systemd the port is gwcfgd.socket's from boot on, across
    // restarts of the daemon: no other account can take it meanwhile.
    std::string serving = o.bind_addr + ":" + std::to_string(o.port);
    int fd = socket_from_systemd(&serving);
    if (fd == -2) return 1;
    if (fd == -1) fd = open_socket(o, addr);
    if (fd < 0) return 1;

    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);  // a closed log pipe must not end the service

    InitSystemConfig();
    gwcfgd::start(o.profile_paths.empty() ? nullptr : &profile);
    if (o.restart_requests) gwcfgd::watch_start();

    static gwcfgd::Admission admission(o.limits, o.allow);
    gwcfgd::log_line("serving %s%s for %02X:%02X:%02X:%02X:%02X:%02X, revision %u", serving.c_str(),
                     fd == 3 ? " (gwcfgd.socket)" : "", mac[0], mac[1], mac[2], mac[3], mac[4],
                     mac[5], gwcfgd::revision());

    fflush(stdout);
    fflush(stderr);
    notify_ready();
    gwcfgd::probe_later(gwcfgd::monotonic_ns());
    status = serve(fd, &admission);
    close(fd);
    gwcfgd::history().flush(time(nullptr));
    if (status == 0) gwcfgd::log_line("stopped");
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    // Whatever the umask inherited, nothing the daemon creates is writable
    // by group or others, nor readable by others.
    umask(027);
    gwcfgd::buffer_logs();
    Options options;
    int status = 0;
    if (!parse_options(argc, argv, &options, &status)) return status;
    return run(options);
}
