// gwcfg web's server in process: the login off loopback, the CSRF token on
// every change, the Host check on loopback, and a recorded fleet. Changes
// go to a fake in place of gwcfg::run that records the command lines.
#include <httplib.h>

#include <gtest/gtest.h>

#include <mutex>

#include "test_support.h"
#include "web_server.h"

namespace {

const char kMac[] = "02:00:5e:10:00:01";

class WebServerTest : public ::testing::Test {
protected:
    // A server on `host` showing a recorded fleet of two gateways, one never
    // seen; changes are recorded, not sent.
    void Start(const std::string &host) {
        gwtest::WriteFile(
            dir_.file("fleet.json"),
            std::string("[{\"mac\":\"") + kMac +
                "\",\"state\":\"online\",\"last_seen\":1,\"name\":\"<script>x</script>\"},"
                "{\"mac\":\"02:00:5e:10:00:02\"}]");
        gwweb::ServerOptions opt;
        opt.host = host;
        opt.port = 0;
        opt.fleet_file = dir_.file("fleet.json");
        opt.run_tool = [this](const std::vector<std::string> &args, std::ostream &out,
                              std::ostream &) {
            std::lock_guard<std::mutex> lock(mu_);
            calls_.push_back(args);
            out << "changed\n";
            return 0;
        };
        server_ = std::make_unique<gwweb::Server>(opt);
        std::string error;
        ASSERT_TRUE(server_->start(&error)) << error;
        client_ = std::make_unique<httplib::Client>("127.0.0.1", server_->port());
    }

    std::string Csrf(const httplib::Headers &auth = {}) {
        auto res = client_->Get("/api/session", auth);
        if (!res || res->status != 200) return "";
        const std::string key = "\"csrf\":\"";
        const size_t at = res->body.find(key);
        return at == std::string::npos ? "" : res->body.substr(at + key.size(), 32);
    }

    size_t Calls() {
        std::lock_guard<std::mutex> lock(mu_);
        return calls_.size();
    }

    gwtest::TempDir dir_;
    std::unique_ptr<gwweb::Server> server_;
    std::unique_ptr<httplib::Client> client_;
    std::mutex mu_;
    std::vector<std::vector<std::string>> calls_;
};

struct Call {
    const char *name;
    const char *method;
    const char *path;
};

class WebServerLoginTest : public WebServerTest, public ::testing::WithParamInterface<Call> {};

// Bound to every address, not only loopback: a login is needed for every
// page, file and API call, and the change is not made.
TEST_P(WebServerLoginTest, AnswersWith401WithoutLoginOffLoopback) {
    Start("0.0.0.0");
    ASSERT_TRUE(server_->needs_login());
    const Call &c = GetParam();
    httplib::Result res =
        std::string(c.method) == "GET"
            ? client_->Get(c.path)
            : client_->Post(c.path, "{\"changes\":{\"a\":\"1\"}}", "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 401);
    EXPECT_EQ(res->body.find("<script>"), std::string::npos);
    // A wrong token does no better.
    httplib::Headers wrong = {{"Authorization", "Bearer " + std::string(32, '0')}};
    res = std::string(c.method) == "GET" ? client_->Get(c.path, wrong)
                                         : client_->Post(c.path, wrong, "{}", "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 401);
    EXPECT_EQ(Calls(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, WebServerLoginTest,
    ::testing::Values(Call{"FleetPage", "GET", "/"}, Call{"GatewayPage", "GET", "/gateway.html"},
                      Call{"Script", "GET", "/fleet.js"}, Call{"Fleet", "GET", "/api/fleet"},
                      Call{"Session", "GET", "/api/session"}, Call{"Keys", "GET", "/api/keys"},
                      Call{"Gateway", "GET", "/api/gateways/02:00:5e:10:00:01"},
                      Call{"Backup", "GET", "/api/gateways/02:00:5e:10:00:01/backup"},
                      Call{"Set", "POST", "/api/gateways/02:00:5e:10:00:01/set"},
                      Call{"Confirm", "POST", "/api/gateways/02:00:5e:10:00:01/confirm"},
                      Call{"Unknown", "GET", "/nothing-here"}),
    [](const ::testing::TestParamInfo<Call> &info) {
        return std::string(info.param.name);
    });

TEST_F(WebServerTest, LetsInWithTheTokenOrItsSessionCookie) {
    Start("0.0.0.0");
    httplib::Headers bearer = {{"Authorization", "Bearer " + server_->password()}};
    auto res = client_->Get("/api/fleet", bearer);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);

    res = client_->Post("/login", httplib::Params{{"password", "wrong"}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 401);
    res = client_->Post("/login", httplib::Params{{"password", server_->password()}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 303);
    const std::string cookie = res->get_header_value("Set-Cookie");
    EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);
    EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos);
    res = client_->Get("/", {{"Cookie", cookie.substr(0, cookie.find(';'))}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
}

// A change request without the session's CSRF token, or with another one,
// is refused and nothing runs; with it the verb runs.
TEST_F(WebServerTest, RefusesAChangeWithoutTheCsrfToken) {
    Start("127.0.0.1");
    ASSERT_FALSE(server_->needs_login());
    const std::string path = std::string("/api/gateways/") + kMac + "/set";
    const std::string body = "{\"changes\":{\"gateway_conf.server_address\":\"eu1.example.net\"}}";
    auto res = client_->Post(path, body, "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);
    EXPECT_NE(res->body.find("CSRF"), std::string::npos);
    res = client_->Post(path, {{"X-CSRF-Token", std::string(32, 'f')}}, body, "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);
    for (const char *verb : {"apply", "confirm"}) {
        res = client_->Post(std::string("/api/gateways/") + kMac + "/" + verb, "{}",
                            "application/json");
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 403) << verb;
    }
    EXPECT_EQ(Calls(), 0u);

    const std::string csrf = Csrf();
    ASSERT_EQ(csrf.size(), 32u);
    res = client_->Post(path, {{"X-CSRF-Token", csrf}}, body, "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200) << res->body;
    ASSERT_EQ(Calls(), 1u);
    const std::vector<std::string> &args = calls_[0];
    ASSERT_GE(args.size(), 3u);
    EXPECT_EQ(args[0], "set");
    EXPECT_EQ(args[1], kMac);
    EXPECT_EQ(args[2], "gateway_conf.server_address=eu1.example.net");
}

// A change names keys of the table only: nothing else reaches the command
// line, where "--force" would be an option.
TEST_F(WebServerTest, RefusesAChangeOfAnUnknownKey) {
    Start("127.0.0.1");
    const std::string csrf = Csrf();
    for (const char *body :
         {"{\"changes\":{\"--force\":\"x\"}}", "{\"changes\":{\"no.such_key\":\"1\"}}",
          "{\"changes\":{\"gateway_conf.serv_port_up\":1700}}", "not json"}) {
        auto res = client_->Post(std::string("/api/gateways/") + kMac + "/set",
                                 {{"X-CSRF-Token", csrf}}, body, "application/json");
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 400) << body;
    }
    EXPECT_EQ(Calls(), 0u);
}

// On loopback a page of another site reached through a DNS name that points
// at 127.0.0.1 gets nothing.
TEST_F(WebServerTest, RefusesAnotherHostNameOnLoopback) {
    Start("127.0.0.1");
    auto res = client_->Get("/api/fleet", {{"Host", "attacker.example:8480"}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);
    res = client_->Get("/api/fleet", {{"Host", "localhost:8480"}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
}

TEST_F(WebServerTest, CountsARecordedFleetPerState) {
    Start("127.0.0.1");
    auto res = client_->Get("/api/fleet");
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200);
    EXPECT_NE(res->body.find("\"never seen\":1"), std::string::npos) << res->body;
    EXPECT_NE(res->body.find("\"online\":1"), std::string::npos) << res->body;
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/json; charset=utf-8");
    // Uncompressed, even for a browser that would take brotli.
    res = client_->Get("/api/fleet", {{"Accept-Encoding", "gzip, deflate, br"}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->get_header_value("Content-Encoding"), "");
    EXPECT_NE(res->get_header_value("Content-Security-Policy").find("script-src 'self'"),
              std::string::npos);
}

}  // namespace
