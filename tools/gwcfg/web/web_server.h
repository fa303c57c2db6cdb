// web_server.h - `gwcfg web`: a small HTTP server on the operator's machine
// that shows the fleet the fleet engine sees, in a browser, and changes
// gateways through the same verbs the command line runs (docs/web.md).
//
// The server polls the gateways with one census a second (LAN discovery to
// the destination of --to, or the limited broadcast address) and keeps, per
// MAC address, the last reply and when it came. A gateway that answered one
// of the last two censuses is online; one that answered before but not
// since is offline; one that a recorded fleet file lists without ever
// having answered is never seen. Changes (set, apply, confirm) run
// gwcfg::run() with the verb's own checks, so the browser sees the refusal
// texts the command line prints.
//
// Security: bound to a loopback address, pages and API are open to this
// machine (Host must name the loopback address, against DNS rebinding);
// bound elsewhere every page and API call without a login is answered 401.
// The login is a token printed at start, or the first line of a password
// file. Every request that changes something must carry the session's CSRF
// token in the X-CSRF-Token header. With a certificate and key the server
// speaks TLS (when built with OpenSSL).
#pragma once

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "fleet.h"

namespace gwweb {

// Default port of `gwcfg web`.
constexpr int kDefaultPort = 8480;

struct ServerOptions {
    std::string host = "127.0.0.1";   // address to listen on
    int port = kDefaultPort;          // 0: any free port (tests)
    std::string assets_dir;           // the page files; "" finds them (assets_dir())
    std::string profiles_dir;         // region plans for the region column; "" finds them
    std::string password;             // the login; "" makes a random token
    std::string cert_file, key_file;  // TLS when both are given
    // A recorded fleet state (the JSON of GET /api/fleet, or its
    // "gateways" array) served instead of asking gateways; "" asks them.
    std::string fleet_file;
    gwcfg::Reach reach;     // where the fleet engine sends, as for the other verbs
    int poll_pause_ms = 0;  // pause between censuses (each lasts reach.timeout_ms)
    // Runs one gwcfg command line (gwcfg::run by default): how changes are
    // made. Tests give a fake that records what would have been sent.
    std::function<int(const std::vector<std::string> &, std::ostream &, std::ostream &)> run_tool;
};

// The page files' directory: $GWCFG_WEB_ASSETS, the installed one, or the
// source tree's (a build that is not installed).
std::string find_assets_dir();
// The region plans: $GWCFG_PROFILES, the installed ones, or the source tree's.
std::string find_profiles_dir();

// True for an address of the loopback network (127.0.0.0/8, ::1, localhost).
bool is_loopback_host(const std::string &host);

class Server {
public:
    explicit Server(ServerOptions options);
    ~Server();  // stops
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Binds, starts the fleet poller and serves in threads of its own.
    // False with *error set (port taken, assets missing, bad certificate,
    // unreadable fleet file) when it cannot.
    bool start(std::string *error);
    void stop();

    int port() const;                     // the bound port
    bool needs_login() const;             // bound to a non-loopback address
    bool tls() const;                     // speaking TLS
    const std::string &password() const;  // the login (the token, or the password file's)
    std::string url() const;              // "http://127.0.0.1:8480/"

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Whether this build can speak TLS.
bool tls_available();

}  // namespace gwweb
