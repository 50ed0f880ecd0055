// SRU servers that misbehave, on loopback through the real HTTP client: each fetch ends in
// bounded time and memory, as a failure the user is told of, never as "no data".
#include <gtest/gtest.h>

#include <chrono>

#include "backends/sru.h"
#include "common/gbk_text.h"
#include "support/child_process.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"

namespace z39 {
namespace {

std::string HttpAnswer(const std::string& body, const std::string& status = "200 OK",
                       const std::string& more = "") {
    return "HTTP/1.0 " + status + "\r\nContent-Type: text/xml\r\n" + more +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

class SruHostileTest : public ::testing::Test {
  protected:
    PageResult Fetch(test::ScriptedServer& server, int timeoutMs = 5000) {
        return Fetch("http://127.0.0.1", server.port(), timeoutMs);
    }
    PageResult Fetch(const std::string& address, int port, int timeoutMs = 5000) {
        TargetProfile target;
        target.kind = TargetKind::kSru;
        target.entry.address = address;
        target.entry.port = std::to_string(port);
        target.entry.database = "Default";
        SearchRequest request;
        request.rows = {{"", G("题名"), G("编程")}};
        SruBackend backend(http, timeoutMs);
        CancelToken cancel;
        const auto started = std::chrono::steady_clock::now();
        PageResult page = backend.Fetch(target, request, cancel);
        elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - started)
                        .count();
        return page;
    }
    CurlHttpClient http;
    long long elapsedMs = 0;
};

TEST_F(SruHostileTest, SilentAndEndlessServersEndInTime) {
    test::ScriptedServer silent({{{}, true}});
    PageResult page = Fetch(silent, 500);
    EXPECT_EQ(page.status, PageStatus::kNoConnection);
    EXPECT_FALSE(page.hasTotal);
    // Its own time-out ended it, not a hang broken by anything else.
    EXPECT_NE(page.reason.find("Timeout"), std::string::npos) << GbkToUtf8(page.reason);
    std::printf("silent server: %s after %lld ms\n", GbkToUtf8(page.reason).c_str(), elapsedMs);

    // An answer that never ends: the body cap ends it, whatever the server would send.
    test::ScriptedServer endless(
        {{{{"HTTP/1.0 200 OK\r\n\r\n<searchRetrieveResponse>", 0}}, false, [](int fd) {
              static const std::string chunk(65536, 'x');
              return ::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) > 0;
          }}});
    page = Fetch(endless, 20000);
    EXPECT_EQ(page.status, PageStatus::kNoConnection);
    EXPECT_NE(page.reason.find("body over"), std::string::npos) << GbkToUtf8(page.reason);
}

TEST_F(SruHostileTest, AnswersThatAreNotSruAreRefusals) {
    const std::string expansion =
        "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY a "
        "\"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\">"
        "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
        "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">"
        "<!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">]>"
        "<searchRetrieveResponse><numberOfRecords>1</numberOfRecords><records><record>"
        "<recordData>&d;&d;&d;&d;&d;&d;&d;&d;</recordData></record></records>"
        "</searchRetrieveResponse>";
    std::string deep;
    for (int i = 0; i < 100000; ++i) deep += "<a>";
    const std::string external =
        "<?xml version=\"1.0\"?><!DOCTYPE r SYSTEM \"file:///etc/passwd\">"
        "<searchRetrieveResponse><numberOfRecords>1</numberOfRecords></searchRetrieveResponse>";
    for (const std::string& body :
         {expansion, "<searchRetrieveResponse>" + deep, external,
          std::string("<html><body>It works!</body></html>"), std::string("\x00\xff\xfe", 3)}) {
        test::ScriptedServer server({{{{HttpAnswer(body), 0}}}});
        PageResult page = Fetch(server);
        EXPECT_EQ(page.status, PageStatus::kRefused) << body.substr(0, 60);
        EXPECT_FALSE(page.hasTotal);
        EXPECT_TRUE(page.records.empty());
    }
}

TEST_F(SruHostileTest, ARedirectIsNotFollowed) {
    test::ScriptedServer target({{{{HttpAnswer("<searchRetrieveResponse><numberOfRecords>9"
                                               "</numberOfRecords></searchRetrieveResponse>"),
                                    0}}}});
    test::ScriptedServer redirecting(
        {{{{HttpAnswer("", "302 Found",
                       "Location: http://127.0.0.1:" + std::to_string(target.port()) + "/\r\n"),
            0}}}});
    PageResult page = Fetch(redirecting);
    EXPECT_EQ(page.status, PageStatus::kNoConnection);
    EXPECT_NE(page.reason.find("302"), std::string::npos) << GbkToUtf8(page.reason);
    EXPECT_TRUE(target.requests().empty());
}

// HTTPS checks the server's certificate against the system's store: one that no authority
// there signed is refused, and the answer behind it is never read.
TEST_F(SruHostileTest, AnUntrustedCertificateIsRefused) {
    test::TempDir dir;
    dir.Write("answer.xml",
              "<searchRetrieveResponse><numberOfRecords>9</numberOfRecords>"
              "</searchRetrieveResponse>");
    test::ChildProcess server({"/usr/bin/python3",
                               std::string(Z39_SOURCE_DIR) + "/tests/support/https_server.py",
                               dir.path(), dir.File("answer.xml")});
    ASSERT_TRUE(server.WaitForOutput("\n", 60000)) << server.output();
    const int port = std::stoi(server.output().substr(server.output().find(' ') + 1));
    PageResult page = Fetch("https://127.0.0.1", port);
    EXPECT_EQ(page.status, PageStatus::kNoConnection);
    EXPECT_FALSE(page.hasTotal);
    EXPECT_NE(page.reason.find("certificate"), std::string::npos) << GbkToUtf8(page.reason);
}

}  // namespace
}  // namespace z39
