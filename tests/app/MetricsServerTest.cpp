// The endpoint alone, on a port of the system's choice: what it answers, what
// it refuses and how it bounds its clients.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "HttpProbe.h"
#include "metrics/MetricsServer.h"
#include "support/WaitUntil.h"

using namespace std::chrono_literals;

namespace {

class Endpoint : public testing::Test {
  protected:
    void start(MetricsLimits limits = {}) {
        server = std::make_unique<MetricsServer>([] { return std::string("psmr_up 1\n"); }, limits);
        server->start("127.0.0.1", 0);
        port = server->port();
    }
    void SetUp() override { start(); }

    std::unique_ptr<MetricsServer> server;
    std::uint16_t port = 0;
};

std::string statusLine(const std::string& answer) {
    return answer.substr(0, answer.find("\r\n"));
}

}  // namespace

TEST_F(Endpoint, AnswersGetMetricsOnlyAndNamesTheOneMethod) {
    const std::string ok =
        HttpProbe::get(port, "GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    EXPECT_EQ("HTTP/1.1 200 OK", statusLine(ok));
    EXPECT_NE(std::string::npos, ok.find("text/plain; version=0.0.4")) << ok;
    EXPECT_NE(std::string::npos, ok.find("\r\n\r\npsmr_up 1\n")) << ok;

    EXPECT_EQ(
        "HTTP/1.1 404 Not Found",
        statusLine(HttpProbe::get(port, "GET /metricsx HTTP/1.1\r\nConnection: close\r\n\r\n")));
    const std::string post = HttpProbe::get(
        port, "POST /metrics HTTP/1.1\r\nContent-Length: 2\r\nConnection: close\r\n\r\nab");
    EXPECT_EQ("HTTP/1.1 405 Method Not Allowed", statusLine(post));
    EXPECT_NE(std::string::npos, post.find("Allow: GET")) << post;
}

TEST_F(Endpoint, KeepsAConnectionForSeveralScrapes) {
    HttpProbe probe(port);
    ASSERT_TRUE(probe.send(
        "GET /metrics HTTP/1.1\r\n\r\nGET /metrics HTTP/1.1\r\nConnection: close\r\n\r\n"));
    const std::string both = probe.readToClose();
    EXPECT_EQ(2u, [&] {
        std::size_t n = 0;
        for (std::size_t at = both.find("200 OK"); at != std::string::npos;
             at = both.find("200 OK", at + 1)) {
            ++n;
        }
        return n;
    }()) << both;
}

TEST_F(Endpoint, RefusesRequestsOverEightKibibytesButNotBelow) {
    const std::string pad(7000, 'a');
    EXPECT_EQ("HTTP/1.1 200 OK",
              statusLine(HttpProbe::get(port, "GET /metrics HTTP/1.1\r\nX-Pad: " + pad +
                                                  "\r\nConnection: close\r\n\r\n")));
    const std::string big(9000, 'a');
    EXPECT_EQ(
        "HTTP/1.1 413 Payload Too Large",
        statusLine(HttpProbe::get(port, "GET /metrics HTTP/1.1\r\nX-Pad: " + big + "\r\n\r\n")));
    // A GET that brings a body is not read to its end.
    EXPECT_EQ("HTTP/1.1 413 Payload Too Large",
              statusLine(HttpProbe::get(
                  port, "GET /metrics HTTP/1.1\r\nContent-Length: 100000\r\n\r\n" + big)));
}

TEST_F(Endpoint, AnswersMalformedRequestsWith400AndCloses) {
    HttpProbe probe(port);
    probe.send("HELLO THERE\r\n\r\n");
    EXPECT_EQ("HTTP/1.1 400 Bad Request", statusLine(probe.readToClose()));
}

TEST_F(Endpoint, ClosesIdleAndHalfSentConnections) {
    server.reset();
    MetricsLimits limits;
    limits.idleTimeout = 200ms;
    start(limits);
    HttpProbe silent(port);
    HttpProbe slow(port);
    ASSERT_TRUE(slow.send("GET /met"));
    EXPECT_TRUE(silent.waitClosed()) << "a silent connection stayed open";
    EXPECT_TRUE(slow.waitClosed()) << "a half-sent request kept its connection";
    EXPECT_TRUE(testsupport::waitUntil([&] { return server->openConnections() == 0; }, 2s));
}

TEST_F(Endpoint, ServesAtMostItsConnectionsAndClosesTheRestAtOnce) {
    std::vector<std::unique_ptr<HttpProbe>> held;
    for (unsigned i = 0; i < MetricsLimits().maxConnections; ++i) {
        held.push_back(std::make_unique<HttpProbe>(port));
        held.back()->send("GET /");
    }
    ASSERT_TRUE(testsupport::waitUntil(
        [&] { return server->openConnections() == MetricsLimits().maxConnections; }, 5s));
    HttpProbe extra(port);
    extra.send("GET /metrics HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(extra.waitClosed()) << "a connection over the limit was kept";
    EXPECT_EQ(MetricsLimits().maxConnections, server->openConnections());
    held.clear();
    EXPECT_TRUE(testsupport::waitUntil([&] { return server->openConnections() == 0; }, 5s));
    EXPECT_EQ("HTTP/1.1 200 OK", statusLine(HttpProbe::get(
                                     port, "GET /metrics HTTP/1.1\r\nConnection: close\r\n\r\n")));
}

TEST(EndpointStart, SaysWhyItCannotListen) {
    MetricsServer first([] { return std::string(); });
    first.start("127.0.0.1", 0);
    MetricsServer second([] { return std::string(); });
    EXPECT_THROW(second.start("127.0.0.1", first.port()), std::exception);
    second.stop();  // idempotent when it never started
}
