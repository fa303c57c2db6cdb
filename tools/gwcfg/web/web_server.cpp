// web_server.cpp - the HTTP server of `gwcfg web`: the fleet poller, the
// JSON API, the login and CSRF checks and the page files.
#include "web_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <json/reader.h>
#include <json/writer.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include <httplib.h>  // with the library's own CPPHTTPLIB_* flags (pkg-config)

#include "config_block.h"
#include "gwcfg.h"
#include "views.h"

namespace gwweb {

namespace {

using gwcfg::Clock;

const char kSessionCookie[] = "gwcfg_web_session";

std::string random_hex(size_t bytes) {
    std::vector<uint8_t> buf(bytes);
    std::ifstream in("/dev/urandom", std::ios::binary);
    in.read(reinterpret_cast<char *>(buf.data()), static_cast<std::streamsize>(bytes));
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : buf) {
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    return out;
}

// Compares without leaking where the first difference lies.
bool same_secret(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

bool is_dir(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool read_file(const std::string &path, std::string *out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    *out = ss.str();
    return true;
}

std::string json_text(const Json::Value &v) {
    Json::StreamWriterBuilder w;
    w["indentation"] = "";
    return Json::writeString(w, v);
}

bool parse_json(const std::string &text, Json::Value *out, std::string *error) {
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    return r->parse(text.data(), text.data() + text.size(), out, error);
}

const char *content_type(const std::string &name) {
    const auto ends = [&](const char *ext) {
        const size_t n = strlen(ext);
        return name.size() >= n && name.compare(name.size() - n, n, ext) == 0;
    };
    if (ends(".html")) return "text/html; charset=utf-8";
    if (ends(".js")) return "text/javascript; charset=utf-8";
    if (ends(".css")) return "text/css; charset=utf-8";
    if (ends(".svg")) return "image/svg+xml";
    if (ends(".png")) return "image/png";
    return "application/octet-stream";
}

int64_t epoch_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A region plan: its name and the radio plan it sets.
struct Region {
    std::string name;
    Json::Value profile;
};

std::vector<Region> load_regions(const std::string &dir) {
    std::vector<Region> out;
    DIR *d = opendir(dir.c_str());
    if (!d) return out;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() < 6 || name.compare(name.size() - 5, 5, ".json") != 0) continue;
        std::string text, error;
        Json::Value v;
        if (!read_file(dir + "/" + name, &text) || !parse_json(text, &v, &error) || !v.isObject() ||
            !v.isMember("SX1301_conf"))
            continue;
        Region r;
        r.name = name.substr(0, name.size() - 5);
        r.profile = Json::Value(Json::objectValue);
        r.profile["SX1301_conf"] = v["SX1301_conf"];
        out.push_back(r);
    }
    closedir(d);
    std::sort(out.begin(), out.end(), [](const Region &a, const Region &b) {
        return a.name < b.name;
    });
    return out;
}

// The region plan whose radio settings the gateway holds, or "".
std::string region_of(const std::vector<Region> &regions, const gwblock::BlockContents &c) {
    for (const Region &r : regions) {
        gwblock::BlockContents with = c;
        if (!gwblock::apply_json_profile(r.profile, &with, nullptr)) continue;
        if (gwblock::diff_keys(c, with, true).empty()) return r.name;
    }
    return "";
}

// What the fleet page shows of one gateway.
Json::Value fleet_row(const gwcfg::Reply &r, const std::string &region) {
    const gwblock::BlockContents &c = r.contents;
    const auto &f = c.gw.gateway_conf;
    Json::Value g;
    g["mac"] = r.mac.text();
    g["address"] = gwcfg::format_address(r.from);
    g["name"] = gwcfg::device_name(c);
    g["gateway_ID"] = gwcfg::text_of(f.gateway_ID, sizeof f.gateway_ID);
    g["server_address"] = gwcfg::text_of(f.server_address, sizeof f.server_address);
    g["region"] = region;
    g["revision"] = c.revision;
    Json::Value change(Json::objectValue);
    change["state"] = gwblock::change_state_word(c.change.state);
    if (c.change.state != 0) {
        change["revision"] = c.change.revision;
        change["reason"] = gwblock::change_reason_text(c.change);
        change["summary"] = gwcfg::change_summary(c.change);
    }
    g["last_change"] = change;
    // The LAN protocol does not carry the forwarder's uptime; a transport
    // that knows it fills this in.
    g["uptime_s"] = Json::Value();
    return g;
}

std::vector<std::string> row(std::initializer_list<std::string> cells) { return cells; }

Json::Value table(const std::vector<std::vector<std::string>> &rows) {
    Json::Value t(Json::arrayValue);
    for (const auto &r : rows) {
        Json::Value line(Json::arrayValue);
        for (const std::string &cell : r)
            line.append(cell);
        t.append(line);
    }
    return t;
}

std::string value_of(const gwblock::BlockContents &c, const std::string &path) {
    const gwblock::KeyInfo *k = gwblock::find_key(path);
    return k ? gwblock::get_value(c, *k) : "";
}

// "-62.5" for -62500 Hz.
std::string khz(int64_t hz) { return gwcfg::format_mhz(hz * 1000); }

// What `gwcfg show` prints, as tables: radios and channels with their
// frequencies in MHz, the TX power table.
Json::Value page_of(const gwcfg::Reply &r) {
    const gwblock::BlockContents &c = r.contents;
    const GatewayConfig &g = c.gw;
    Json::Value page;
    std::vector<std::vector<std::string>> rows;
    rows.push_back(row({"RADIO", "TYPE", "FREQ MHZ", "RSSI OFFSET", "RX", "TX"}));
    for (int i = 0; i < 2; ++i) {
        const RadioConfig &rc = g.radios[i];
        const std::string p = "SX1301_conf.radio_" + std::to_string(i);
        rows.push_back(
            row({std::to_string(i), gwcfg::or_dash(gwcfg::text_of(rc.type, sizeof rc.type)),
                 gwcfg::format_mhz(rc.freq), value_of(c, p + ".rssi_offset") + " dB",
                 rc.enable ? "on" : "off", rc.tx_enable ? "on" : "off"}));
    }
    page["radios"] = table(rows);
    rows.clear();
    rows.push_back(row({"CHANNEL", "RADIO", "IF KHZ", "FREQ MHZ", "BW KHZ", "SF/DATARATE", "RX"}));
    auto channel = [&](const std::string &name, const ChannelConfig &ch, const std::string &bw,
                       const std::string &rate) {
        const int64_t centre = ch.radio < 2 ? static_cast<int64_t>(g.radios[ch.radio].freq) : 0;
        rows.push_back(
            row({name, std::to_string(ch.radio), khz(ch.if_freq),
                 gwcfg::format_mhz(centre + ch.if_freq), bw, rate, ch.enable ? "on" : "off"}));
    };
    for (int i = 0; i < 8; ++i)
        channel("multiSF_" + std::to_string(i), g.chan_multiSF[i], "125", "SF7-12");
    channel("Lora_std", g.chan_Lora_std, khz(g.chan_Lora_std.bandwidth),
            "SF" + std::to_string(g.chan_Lora_std.datarate));
    channel("FSK", g.chan_FSK, g.chan_FSK.bandwidth ? khz(g.chan_FSK.bandwidth) : "default",
            std::to_string(g.chan_FSK.datarate) + " bit/s");
    page["channels"] = table(rows);
    rows.clear();
    rows.push_back(row({"TX", "POWER DBM", "PA GAIN", "MIXER GAIN", "DIGITAL GAIN"}));
    for (int i = 0; i < 16; ++i) {
        const std::string p = "SX1301_conf.tx_lut_" + std::to_string(i);
        if (!gwblock::find_key(p + ".rf_power")) break;
        rows.push_back(
            row({std::to_string(i), value_of(c, p + ".rf_power"), value_of(c, p + ".pa_gain"),
                 value_of(c, p + ".mix_gain"), value_of(c, p + ".dig_gain")}));
    }
    page["tx_table"] = table(rows);
    return page;
}

// Every key with its current value, for the form and the network and
// server sections: path, value, writable, unit, meaning and rule in words.
Json::Value keys_of(const gwblock::BlockContents &c) {
    Json::Value keys(Json::arrayValue);
    for (const gwblock::KeyInfo &k : gwblock::key_table()) {
        Json::Value v;
        v["path"] = k.path;
        v["section"] = k.section;
        v["value"] = gwblock::get_value(c, k);
        v["writable"] = k.writable;
        v["unit"] = k.unit;
        v["meaning"] = k.meaning;
        v["rule"] = k.rule;
        keys.append(v);
    }
    return keys;
}

struct Known {
    gwcfg::Reply reply{};
    std::string region;
    int64_t last_seen_ms = 0;
    uint64_t last_census = 0;  // the census that last heard it
};

}  // namespace

struct Server::Impl {
    ServerOptions opt;
    std::unique_ptr<httplib::Server> http;
    std::thread serve_thread, poll_thread;
    int port = 0;
    bool login = false;
    bool tls = false;
    std::string password, csrf, session;
    std::vector<Region> regions;
    std::map<std::string, std::string> assets;  // name -> path

    std::mutex mu;
    std::condition_variable cv;
    bool stopping = false;
    std::map<uint64_t, Known> known;
    uint64_t censuses = 0;
    Json::Value recorded;  // the fleet file's rows, when given
    bool from_file = false;

    bool load_assets(std::string *error);
    bool load_fleet_file(std::string *error);
    void poll();
    Json::Value fleet();
    bool find(const std::string &mac_text, Known *out);
    bool authorised(const httplib::Request &req) const;
    bool host_ok(const httplib::Request &req) const;
    void routes();
    int run_tool(const std::vector<std::string> &args, std::string *out, std::string *err);
    std::vector<std::string> reach_args() const;
};

bool Server::Impl::load_assets(std::string *error) {
    const std::string dir = opt.assets_dir.empty() ? find_assets_dir() : opt.assets_dir;
    DIR *d = opendir(dir.c_str());
    if (!d) {
        *error = "cannot read the page files in " +
                 (dir.empty() ? std::string("(none found)") : dir) +
                 ": reinstall the gwcfg package, or set GWCFG_WEB_ASSETS to their directory";
        return false;
    }
    while (dirent *e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.empty() || name[0] == '.') continue;
        const bool plain = std::all_of(name.begin(), name.end(), [](char c) {
            return isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
        });
        if (plain) assets["/" + name] = dir + "/" + name;
    }
    closedir(d);
    if (!assets.count("/index.html")) {
        *error = dir + " holds no index.html: reinstall the gwcfg package";
        return false;
    }
    assets["/"] = assets["/index.html"];
    return true;
}

bool Server::Impl::load_fleet_file(std::string *error) {
    std::string text, why;
    Json::Value v;
    if (!read_file(opt.fleet_file, &text)) {
        *error = "cannot read the fleet file " + opt.fleet_file;
        return false;
    }
    if (!parse_json(text, &v, &why)) {
        *error = opt.fleet_file + " is not JSON: " + why;
        return false;
    }
    if (v.isObject()) v = v["gateways"];
    if (!v.isArray()) {
        *error = opt.fleet_file + " holds no array of gateways (as GET /api/fleet gives)";
        return false;
    }
    recorded = v;
    from_file = true;
    return true;
}

// One census after another on the LAN. Another transport (a broker) would
// fill `known` here the same way, with the uptime and drift it knows.
void Server::Impl::poll() {
    std::ostringstream quiet;  // warnings about stray datagrams: not for the page
    while (true) {
        {
            std::unique_lock<std::mutex> lock(mu);
            if (stopping) return;
        }
        gwcfg::Session session(opt.reach, quiet, "gwcfg web", nullptr);
        gwcfg::Census census;
        const bool ok = session.open() && session.census(gwcfg::CensusGoal(), &census);
        quiet.str("");
        std::unique_lock<std::mutex> lock(mu);
        if (stopping) return;
        if (ok) {
            ++censuses;
            const int64_t now = epoch_ms();
            for (const auto &kv : census.by_mac) {
                const gwcfg::Reply &r = census.replies[kv.second[0]];
                Known &k = known[kv.first];
                k.reply = r;
                k.region = region_of(regions, r.contents);
                k.last_seen_ms = now;
                k.last_census = censuses;
            }
        }
        cv.wait_for(lock, std::chrono::milliseconds(ok ? opt.poll_pause_ms : 1000), [this] {
            return stopping;
        });
    }
}

Json::Value Server::Impl::fleet() {
    Json::Value out;
    Json::Value rows(Json::arrayValue);
    std::map<std::string, int> counts = {{"online", 0}, {"offline", 0}, {"never seen", 0}};
    if (from_file) {
        for (const Json::Value &g : recorded) {
            Json::Value r = g;
            if (!r.isMember("state"))
                r["state"] = r.isMember("last_seen") ? "online" : "never seen";
            ++counts[r["state"].asString()];
            rows.append(r);
        }
    } else {
        std::lock_guard<std::mutex> lock(mu);
        for (const auto &kv : known) {
            Json::Value r = fleet_row(kv.second.reply, kv.second.region);
            // Online: heard in one of the last two censuses (one lost
            // datagram does not turn a gateway offline).
            const bool online = kv.second.last_census + 1 >= censuses;
            r["state"] = online ? "online" : "offline";
            r["last_seen"] = static_cast<Json::Int64>(kv.second.last_seen_ms);
            ++counts[r["state"].asString()];
            rows.append(r);
        }
    }
    out["generated"] = static_cast<Json::Int64>(epoch_ms());
    out["source"] = from_file ? "recorded fleet file"
                              : "LAN discovery to " + gwcfg::format_endpoint(opt.reach.dest);
    Json::Value c(Json::objectValue);
    for (const auto &kv : counts)
        c[kv.first] = kv.second;
    out["counts"] = c;
    out["gateways"] = rows;
    return out;
}

bool Server::Impl::find(const std::string &mac_text, Known *out) {
    gwcfg::Mac mac;
    if (!gwblock::parse_mac(mac_text, mac.bytes)) return false;
    std::lock_guard<std::mutex> lock(mu);
    auto it = known.find(mac.key());
    if (it == known.end()) return false;
    *out = it->second;
    return true;
}

bool Server::Impl::host_ok(const httplib::Request &req) const {
    if (login) return true;  // the login guards it
    // Bound to loopback: a page of another site that a DNS name pointed at
    // 127.0.0.1 must not reach the API.
    std::string host = req.get_header_value("Host");
    const size_t colon = host.rfind(':');
    if (colon != std::string::npos && host.find(']') == std::string::npos)
        host = host.substr(0, colon);
    if (colon != std::string::npos && host.size() > 1 && host.front() == '[')
        host = host.substr(0, host.find(']') + 1);
    return host.empty() || is_loopback_host(host);
}

bool Server::Impl::authorised(const httplib::Request &req) const {
    if (!login) return true;
    const std::string auth = req.get_header_value("Authorization");
    if (auth.compare(0, 7, "Bearer ") == 0 && same_secret(auth.substr(7), password)) return true;
    const std::string cookies = req.get_header_value("Cookie");
    const std::string want = std::string(kSessionCookie) + "=";
    size_t at = 0;
    while ((at = cookies.find(want, at)) != std::string::npos) {
        if (at == 0 || cookies[at - 1] == ' ' || cookies[at - 1] == ';') {
            const size_t start = at + want.size();
            const size_t end = cookies.find(';', start);
            if (same_secret(cookies.substr(start, end == std::string::npos ? end : end - start),
                            session))
                return true;
        }
        at += want.size();
    }
    return false;
}

int Server::Impl::run_tool(const std::vector<std::string> &args, std::string *out,
                           std::string *err) {
    std::ostringstream o, e;
    const int status = opt.run_tool ? opt.run_tool(args, o, e) : gwcfg::run(args, o, e);
    *out = o.str();
    *err = e.str();
    return status;
}

std::vector<std::string> Server::Impl::reach_args() const {
    return {"--to",      gwcfg::format_endpoint(opt.reach.dest),
            "--timeout", std::to_string(opt.reach.timeout_ms),
            "--retries", std::to_string(opt.reach.retries)};
}

namespace {

void send_json(httplib::Response &res, const Json::Value &v, int status = 200) {
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(json_text(v), "application/json; charset=utf-8");
}

void send_error(httplib::Response &res, int status, const std::string &message) {
    Json::Value v;
    v["error"] = message;
    send_json(res, v, status);
}

// The login form, served with every 401 to a browser.
const char kLoginPage[] =
    "<!doctype html><html lang=\"en\"><head><meta charset=\"utf-8\">"
    "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
    "<title>gwcfg web: log in</title><link rel=\"stylesheet\" href=\"/style.css\"></head>"
    "<body><main class=\"login\"><h1>gwcfg web</h1>"
    "<form method=\"post\" action=\"/login\"><label for=\"password\">Token or password "
    "(printed by gwcfg web at start, or the first line of --password-file)</label>"
    "<input id=\"password\" name=\"password\" type=\"password\" autocomplete=\"current-password\" "
    "required autofocus><button type=\"submit\">Log in</button></form></main></body></html>";

}  // namespace

void Server::Impl::routes() {
    httplib::Server &s = *http;
    s.set_pre_routing_handler([this](const httplib::Request &req, httplib::Response &res) {
        // No compressed answers: Debian's cpp-httplib would brotli-compress
        // them, which takes most of a second for the fleet of 1,000
        // gateways and saves nothing between a browser and a server on the
        // same machine or network. The request object is the library's
        // own, not a constant one.
        const_cast<httplib::Request &>(req).headers.erase("Accept-Encoding");
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("Referrer-Policy", "no-referrer");
        res.set_header("X-Frame-Options", "DENY");
        res.set_header(
            "Content-Security-Policy",
            "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
            "connect-src 'self'; form-action 'self'; base-uri 'none'; frame-ancestors 'none'");
        if (!host_ok(req)) {
            send_error(res, 403, "this server answers only to the loopback address it listens on");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (login && req.path == "/login" && req.method == "POST")
            return httplib::Server::HandlerResponse::Unhandled;
        if (login && req.path == "/style.css") return httplib::Server::HandlerResponse::Unhandled;
        if (!authorised(req)) {
            res.status = 401;
            res.set_header("WWW-Authenticate", "Bearer realm=\"gwcfg web\"");
            if (req.path.compare(0, 5, "/api/") == 0)
                send_error(res, 401, "log in first: give the token gwcfg web printed at start");
            else
                res.set_content(kLoginPage, "text/html; charset=utf-8");
            res.status = 401;
            return httplib::Server::HandlerResponse::Handled;
        }
        if (req.method == "POST" && req.path != "/login" &&
            !same_secret(req.get_header_value("X-CSRF-Token"), csrf)) {
            send_error(
                res, 403,
                "refused: the request carries no valid CSRF token; reload the page and try again");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });

    s.Post("/login", [this](const httplib::Request &req, httplib::Response &res) {
        const std::string given = req.get_param_value("password");
        if (!login || !same_secret(given, password)) {
            res.status = 401;
            res.set_content(kLoginPage, "text/html; charset=utf-8");
            return;
        }
        res.set_header("Set-Cookie", std::string(kSessionCookie) + "=" + session +
                                         "; Path=/; HttpOnly; SameSite=Strict" +
                                         (tls ? "; Secure" : ""));
        res.set_redirect("/", 303);
    });

    s.Get("/api/session", [this](const httplib::Request &, httplib::Response &res) {
        Json::Value v;
        v["csrf"] = csrf;
        v["login"] = login;
        v["rollouts"] = false;  // no rollout verb in this gwcfg yet
        send_json(res, v);
    });

    s.Get("/api/fleet", [this](const httplib::Request &, httplib::Response &res) {
        send_json(res, fleet());
    });

    s.Get("/api/keys", [](const httplib::Request &, httplib::Response &res) {
        gwblock::BlockContents empty{};
        send_json(res, keys_of(empty));
    });

    s.Get(R"(/api/gateways/([0-9A-Fa-f:-]{1,17}))", [this](const httplib::Request &req,
                                                           httplib::Response &res) {
        Known k;
        if (!find(req.matches[1], &k)) {
            send_error(res, 404,
                       "gateway " + std::string(req.matches[1]) + " has not answered discovery");
            return;
        }
        Json::Value v = fleet_row(k.reply, k.region);
        v["state"] = k.last_census + 1 >= censuses ? "online" : "offline";
        v["last_seen"] = static_cast<Json::Int64>(k.last_seen_ms);
        v["endpoint"] = gwcfg::format_endpoint(k.reply.from);
        v["page"] = page_of(k.reply);
        v["keys"] = keys_of(k.reply.contents);
        send_json(res, v);
    });

    s.Get(R"(/api/gateways/([0-9A-Fa-f:-]{1,17})/backup)",
          [this](const httplib::Request &req, httplib::Response &res) {
              gwcfg::Mac mac;
              if (!gwblock::parse_mac(req.matches[1], mac.bytes)) {
                  send_error(res, 400, "not a MAC address");
                  return;
              }
              std::vector<std::string> args = {"show", mac.text(), "--json"};
              const auto reach = reach_args();
              args.insert(args.end(), reach.begin(), reach.end());
              std::string out, err;
              if (run_tool(args, &out, &err) != 0) {
                  send_error(res, 502, err);
                  return;
              }
              std::string file = mac.text();
              std::replace(file.begin(), file.end(), ':', '-');
              res.set_header("Content-Disposition", "attachment; filename=\"" + file + ".json\"");
              res.set_header("Cache-Control", "no-store");
              res.set_content(out, "application/json; charset=utf-8");
          });

    // Checks changes against the key table's rules on the configuration the
    // gateway last reported; nothing is sent.
    s.Post(R"(/api/gateways/([0-9A-Fa-f:-]{1,17})/check)", [this](const httplib::Request &req,
                                                                  httplib::Response &res) {
        Known k;
        if (!find(req.matches[1], &k)) {
            send_error(res, 404,
                       "gateway " + std::string(req.matches[1]) + " has not answered discovery");
            return;
        }
        Json::Value body, faults(Json::arrayValue);
        std::string error;
        if (!parse_json(req.body, &body, &error) || !body["changes"].isObject()) {
            send_error(res, 400, "the body must be {\"changes\": {\"KEY\": \"VALUE\", ...}}");
            return;
        }
        gwblock::BlockContents c = k.reply.contents;
        for (const std::string &key : body["changes"].getMemberNames()) {
            std::string why;
            if (!gwblock::set_value(&c, key, body["changes"][key].asString(), &why))
                faults.append(why);
        }
        if (faults.empty()) {
            gwblock::fill_unset_gateway_id(&c);
            for (const gwblock::RuleFault &f : gwblock::rule_faults(c))
                faults.append(f.message);
        }
        Json::Value v;
        v["ok"] = faults.empty();
        v["faults"] = faults;
        send_json(res, v);
    });

    auto change = [this](const std::string &verb, const httplib::Request &req,
                         httplib::Response &res) {
        gwcfg::Mac mac;
        if (!gwblock::parse_mac(req.matches[1], mac.bytes)) {
            send_error(res, 400, "not a MAC address");
            return;
        }
        std::vector<std::string> args = {verb, mac.text()};
        std::string temp;
        if (verb == "set") {
            Json::Value body;
            std::string error;
            if (!parse_json(req.body, &body, &error) || !body["changes"].isObject() ||
                body["changes"].empty()) {
                send_error(res, 400, "the body must be {\"changes\": {\"KEY\": \"VALUE\", ...}}");
                return;
            }
            for (const std::string &key : body["changes"].getMemberNames()) {
                // Only keys of the table: a name such as "--force" must not
                // reach the command line as an option.
                if (!gwblock::find_key(key) || !body["changes"][key].isString()) {
                    send_error(res, 400,
                               "unknown key " + key +
                                   ", or a value that is not a string; "
                                   "GET /api/keys lists the keys");
                    return;
                }
                args.push_back(key + "=" + body["changes"][key].asString());
            }
        } else if (verb == "apply") {
            char path[] = "/tmp/gwcfg-web-profile-XXXXXX";
            const int fd = mkstemp(path);
            if (fd < 0) {
                send_error(res, 500, std::string("cannot store the profile: ") + strerror(errno));
                return;
            }
            const bool written = write(fd, req.body.data(), req.body.size()) ==
                                 static_cast<ssize_t>(req.body.size());
            close(fd);
            temp = path;
            if (!written) {
                unlink(path);
                send_error(res, 500, "cannot store the profile");
                return;
            }
            args.push_back(temp);
        }
        if (verb != "confirm") args.push_back("--no-wait");
        const auto reach = reach_args();
        args.insert(args.end(), reach.begin(), reach.end());
        std::string out, err;
        const int status = run_tool(args, &out, &err);
        if (!temp.empty()) unlink(temp.c_str());
        Json::Value v;
        v["status"] = status;
        v["ok"] = status == 0;
        v["output"] = out;
        v["error"] = err;
        send_json(res, v, status == 0 ? 200 : (status == 2 ? 422 : 502));
    };
    for (const char *verb : {"set", "apply", "confirm"}) {
        const std::string name = verb;
        s.Post("/api/gateways/([0-9A-Fa-f:-]{1,17})/" + name,
               [change, name](const httplib::Request &req, httplib::Response &res) {
                   change(name, req, res);
               });
    }

    s.Get(R"(/[A-Za-z0-9._-]*)", [this](const httplib::Request &req, httplib::Response &res) {
        auto it = assets.find(req.path);
        std::string body;
        if (it == assets.end() || !read_file(it->second, &body)) {
            res.status = 404;
            res.set_content("not found", "text/plain");
            return;
        }
        res.set_header("Cache-Control", "no-cache");
        res.set_content(body, content_type(it->second));
    });
}

Server::Server(ServerOptions options) : impl_(new Impl) { impl_->opt = std::move(options); }

Server::~Server() { stop(); }

bool Server::start(std::string *error) {
    Impl &m = *impl_;
    if (!m.load_assets(error)) return false;
    if (!m.opt.fleet_file.empty() && !m.load_fleet_file(error)) return false;
    m.regions = load_regions(m.opt.profiles_dir.empty() ? find_profiles_dir() : m.opt.profiles_dir);
    m.login = !is_loopback_host(m.opt.host);
    m.password = m.opt.password.empty() ? random_hex(16) : m.opt.password;
    m.csrf = random_hex(16);
    m.session = random_hex(24);
    const bool want_tls = !m.opt.cert_file.empty() || !m.opt.key_file.empty();
    if (want_tls) {
        if (m.opt.cert_file.empty() || m.opt.key_file.empty()) {
            *error = "TLS needs both --tls-cert and --tls-key";
            return false;
        }
#ifdef GWCFG_WEB_TLS
        auto ssl =
            std::make_unique<httplib::SSLServer>(m.opt.cert_file.c_str(), m.opt.key_file.c_str());
        if (!ssl->is_valid()) {
            *error = "cannot use the certificate " + m.opt.cert_file + " with the key " +
                     m.opt.key_file + ": check that both are PEM files and belong together";
            return false;
        }
        m.http = std::move(ssl);
        m.tls = true;
#else
        *error =
            "this gwcfg was built without TLS (OpenSSL); serve on 127.0.0.1, or behind a TLS proxy";
        return false;
#endif
    } else {
        m.http = std::make_unique<httplib::Server>();
    }
    m.http->new_task_queue = [] {
        return new httplib::ThreadPool(4);
    };
    m.http->set_payload_max_length(64 * 1024);
    m.routes();
    if (m.opt.port == 0) {
        m.port = m.http->bind_to_any_port(m.opt.host.c_str());
    } else {
        m.port = m.http->bind_to_port(m.opt.host.c_str(), m.opt.port) ? m.opt.port : -1;
    }
    if (m.port <= 0) {
        *error = "cannot listen on " + m.opt.host + ":" + std::to_string(m.opt.port) + ": " +
                 strerror(errno) +
                 ". Is another gwcfg web running? Choose another port with --listen ADDR:PORT";
        return false;
    }
    m.serve_thread = std::thread([&m] {
        m.http->listen_after_bind();
    });
    if (!m.from_file)
        m.poll_thread = std::thread([&m] {
            m.poll();
        });
    return true;
}

void Server::stop() {
    Impl &m = *impl_;
    {
        std::lock_guard<std::mutex> lock(m.mu);
        m.stopping = true;
    }
    m.cv.notify_all();
    if (m.http) m.http->stop();
    if (m.serve_thread.joinable()) m.serve_thread.join();
    if (m.poll_thread.joinable()) m.poll_thread.join();
}

int Server::port() const { return impl_->port; }
bool Server::needs_login() const { return impl_->login; }
bool Server::tls() const { return impl_->tls; }
const std::string &Server::password() const { return impl_->password; }

std::string Server::url() const {
    std::string host = impl_->opt.host;
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    if (host == "0.0.0.0") host = "127.0.0.1";
    return std::string(impl_->tls ? "https" : "http") + "://" + host + ":" +
           std::to_string(impl_->port) + "/";
}

bool tls_available() {
#ifdef GWCFG_WEB_TLS
    return true;
#else
    return false;
#endif
}

bool is_loopback_host(const std::string &host) {
    if (host == "localhost" || host == "::1" || host == "[::1]") return true;
    in_addr a;
    return inet_pton(AF_INET, host.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

std::string find_assets_dir() {
    if (const char *env = getenv("GWCFG_WEB_ASSETS")) return env;
    if (is_dir(GWCFG_WEB_INSTALLED_ASSETS)) return GWCFG_WEB_INSTALLED_ASSETS;
    if (is_dir(GWCFG_WEB_SOURCE_ASSETS)) return GWCFG_WEB_SOURCE_ASSETS;
    return "";
}

std::string find_profiles_dir() {
    if (const char *env = getenv("GWCFG_PROFILES")) return env;
    if (is_dir(GWCFG_INSTALLED_PROFILES)) return GWCFG_INSTALLED_PROFILES;
    return GWCFG_SOURCE_PROFILES;
}

}  // namespace gwweb
