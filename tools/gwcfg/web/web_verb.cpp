// web_verb.cpp - the `gwcfg web` verb: reads its options, starts the
// server and serves until SIGINT or SIGTERM.
#include <signal.h>

#include <fstream>

#include "cli.h"
#include "command_line.h"
#include "web/web.h"
#ifdef GWCFG_WEB_SERVER
#include "web_server.h"
#endif

namespace gwcfg {

#ifndef GWCFG_WEB_SERVER

int cmd_web(const Invocation &, Io &io) {
    io.err
        << "gwcfg web: this gwcfg was built without the web server. Install libcpp-httplib-dev and "
           "build it again.\n";
    return gwcli::kExitFailed;
}

#else

namespace {

// "ADDR:PORT", "ADDR" (default port) or ":PORT" (loopback).
bool parse_listen(const std::string &text, gwweb::ServerOptions *opt, std::string *error) {
    std::string host = text, port;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos) {
            *error = "--listen " + text + ": missing ']' after the IPv6 address";
            return false;
        }
        host = text.substr(1, close - 1);
        if (close + 1 < text.size() && text[close + 1] == ':') port = text.substr(close + 2);
    } else if (text.find(':') != std::string::npos && text.find(':') == text.rfind(':')) {
        host = text.substr(0, text.find(':'));
        port = text.substr(text.find(':') + 1);
    }
    if (host.empty()) host = "127.0.0.1";
    opt->host = host;
    if (!port.empty() && !gwcli::parse_decimal(port, 1, 65535, &opt->port)) {
        *error = "--listen " + text + ": the port after ':' must be a number 1..65535";
        return false;
    }
    return true;
}

std::string value_of(const Invocation &inv, Option o) {
    auto it = inv.values.find(o);
    return it == inv.values.end() ? "" : it->second;
}

}  // namespace

int cmd_web(const Invocation &inv, Io &io) {
    gwweb::ServerOptions opt;
    opt.reach = inv.reach;
    std::string error;
    if (inv.given & kOptListen) {
        if (!parse_listen(value_of(inv, kOptListen), &opt, &error)) {
            io.err << "gwcfg web: " << error << ". Run gwcfg web --help.\n";
            return gwcli::kExitUsage;
        }
    }
    if (inv.given & kOptPasswordFile) {
        const std::string path = value_of(inv, kOptPasswordFile);
        std::ifstream in(path);
        std::string line;
        if (!in || !std::getline(in, line) || line.empty()) {
            io.err << "gwcfg web: cannot read a password from the first line of " << path
                   << ". Write one line into it, or leave --password-file out for a token.\n";
            return gwcli::kExitUsage;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        opt.password = line;
    }
    opt.cert_file = value_of(inv, kOptTlsCert);
    opt.key_file = value_of(inv, kOptTlsKey);
    opt.fleet_file = value_of(inv, kOptFleetFile);

    // SIGINT and SIGTERM are taken with sigwait below: blocked before the
    // server's threads start, so that they inherit the mask.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigset_t before;
    pthread_sigmask(SIG_BLOCK, &stop_signals, &before);
    gwweb::Server server(opt);
    if (!server.start(&error)) {
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        io.err << "gwcfg web: " << error << ".\n";
        return gwcli::kExitFailed;
    }
    io.out << "gwcfg web: serving the fleet at " << server.url() << " ("
           << (opt.fleet_file.empty() ? "gateways asked at " + format_endpoint(opt.reach.dest)
                                      : "recorded fleet " + opt.fleet_file)
           << "); Ctrl-C stops.\n";
    if (server.needs_login()) {
        if (opt.password.empty())
            io.out << "gwcfg web: log in with the token " << server.password() << "\n";
        else
            io.out << "gwcfg web: log in with the password of " << value_of(inv, kOptPasswordFile)
                   << "\n";
        if (!server.tls())
            io.err
                << "gwcfg web: warning: no TLS; the login crosses the network in clear. Give --tls-cert and "
                   "--tls-key.\n";
    }
    io.out.flush();
    int sig = 0;
    sigwait(&stop_signals, &sig);
    server.stop();
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    io.out << "gwcfg web: stopped.\n";
    return gwcli::kExitOk;
}

#endif  // GWCFG_WEB_SERVER

}  // namespace gwcfg
