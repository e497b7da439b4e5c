/*
 * The host WinInet layer against scripted servers on 127.0.0.1: requests,
 * bodies, credentials, redirects, status callbacks, hostile servers, error
 * codes and handles. Runs in a private network namespace (netns-run.sh), so
 * name lookups and proxies never leave the machine.
 */
#include <windows.h>
#include <wininet.h>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "loopback_server.h"
#include "text.h"
#include "driver/driver.h"
#include "wininet/handles.h"
#include "wininet_test.h"

using namespace testing_server;
using namespace wininet_test;
using testing_text::U16;
using testing_text::W;

namespace {

const DWORD_PTR kContext = 0x5150;

// A port on 127.0.0.1 where nothing listens.
uint16_t RefusedPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

std::string WithCredentials(const LoopbackServer& server, const std::string& userinfo,
                            const std::string& path) {
    return "http://" + userinfo + "@127.0.0.1:" + std::to_string(server.port()) + path;
}

class WinInetHttp : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : {"http_proxy", "HTTP_PROXY", "no_proxy", "NO_PROXY"}) {
            unsetenv(name);
        }
        liveBefore_ = tovix::InternetLiveHandleCount();
        StatusLog::Take();
    }
    void TearDown() override {
        EXPECT_EQ(liveBefore_, tovix::InternetLiveHandleCount()) << "a handle was left open";
    }
    size_t liveBefore_ = 0;
};

TEST_F(WinInetHttp, GetAndReadTheBodyInPieces) {
    const std::string body = "good 1.2.3.4, and then some more text to read in pieces";
    LoopbackServer server(Reply(HttpResponse(200, "OK", body)));
    ASSERT_TRUE(server.listening());
    HINTERNET session = OpenSession();
    ASSERT_NE(nullptr, session);
    HINTERNET request = OpenUrl(session, server.Url("/dyndns/update?x=1"));
    ASSERT_NE(nullptr, request) << "error " << GetLastError();

    std::string got;
    char piece[7];
    for (;;) {
        DWORD read = 99;
        SetLastError(1234);
        ASSERT_TRUE(InternetReadFile(request, piece, sizeof(piece), &read));
        EXPECT_EQ(0u, GetLastError()) << "a good read leaves no error behind";
        if (read == 0) {
            break;
        }
        got.append(piece, read);
        if (got.size() < body.size()) {
            EXPECT_EQ(sizeof(piece), read) << "only the last read may come short";
        }
    }
    EXPECT_EQ(body, got);
    DWORD read = 1;
    EXPECT_TRUE(InternetReadFile(request, piece, sizeof(piece), &read));
    EXPECT_EQ(0u, read) << "the end stays the end";

    std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("GET", RequestMethod(requests[0]));
    EXPECT_EQ("/dyndns/update?x=1", RequestTarget(requests[0]));
    EXPECT_EQ("TovixTest", HeaderValue(requests[0], "User-Agent"));
    bool authorized = true;
    HeaderValue(requests[0], "Authorization", &authorized);
    EXPECT_FALSE(authorized) << "no credentials were given";

    EXPECT_TRUE(InternetCloseHandle(request));
    EXPECT_TRUE(InternetCloseHandle(session));
}

TEST_F(WinInetHttp, BodyLargerThanTheBufferInOneRead) {
    std::string body(300 * 1024, ' ');
    for (size_t i = 0; i < body.size(); ++i) {
        body[i] = static_cast<char>('a' + i % 26);
    }
    LoopbackServer server(Reply(HttpResponse(200, "OK", body)));
    HINTERNET session = OpenSession();
    HINTERNET request = OpenUrl(session, server.Url());
    ASSERT_NE(nullptr, request) << "error " << GetLastError();
    std::vector<char> buffer(body.size() + 10);
    DWORD read = 0;
    ASSERT_TRUE(InternetReadFile(request, buffer.data(), static_cast<DWORD>(body.size()), &read));
    EXPECT_EQ(body.size(), read);
    EXPECT_TRUE(std::string(buffer.data(), read) == body);
    InternetCloseHandle(session);
}

TEST_F(WinInetHttp, NoUserAgentWithoutAgent) {
    LoopbackServer server(Reply(HttpResponse(200, "OK", "x")));
    HINTERNET session = InternetOpenW(NULL, INTERNET_OPEN_TYPE_DIRECT, NULL, NULL, 0);
    ASSERT_NE(nullptr, session);
    HINTERNET request = OpenUrl(session, server.Url());
    ASSERT_NE(nullptr, request);
    bool found = true;
    HeaderValue(server.Requests().at(0), "User-Agent", &found);
    EXPECT_FALSE(found);
    InternetCloseHandle(session);
}

TEST_F(WinInetHttp, ExtraHeadersAndEncodedTarget) {
    LoopbackServer server(Reply(HttpResponse(200, "OK", "x")));
    HINTERNET session = OpenSession();
    std::u16string url = U16(server.Url("/a b/é?q=a b&r=\"x\""));
    HINTERNET request =
        InternetOpenUrlW(session, W(url), L"X-One: 1\r\nX-Two: two\r\n", (DWORD)-1, 0, 0);
    ASSERT_NE(nullptr, request) << "error " << GetLastError();
    std::string head = server.Requests().at(0);
    EXPECT_EQ("/a%20b/%C3%A9?q=a%20b&r=%22x%22", RequestTarget(head));
    EXPECT_EQ("1", HeaderValue(head, "X-One"));
    EXPECT_EQ("two", HeaderValue(head, "X-Two"));
    InternetCloseHandle(session);
}

struct CredentialCase {
    const char* why;
    const char* userinfo; // as written into the URL, unescaped
    const char* seen;     // "user:password" as the server decodes it
};

const CredentialCase kCredentialCases[] = {
    {"plain", "tovix:KoReL52", "tovix:KoReL52"},
    {"password with ':' '@' '&'", "tovix:Ko:Re@L&52", "tovix:Ko:Re@L&52"},
    {"user with '@' and '&'", "to@v&ix:pw", "to@v&ix:pw"},
    {"user with ':' reads as user plus password, same header", "to:vix:pw", "to:vix:pw"},
    {"'?', '#' and a space", "u:a?b#c d", "u:a?b#c d"},
    {"non-ASCII goes as UTF-8", "用户:密码", "用户:密码"},
    {"empty password", "tovix:", "tovix:"},
};

void PrintTo(const CredentialCase& c, std::ostream* os) {
    *os << c.why;
}

class WinInetCredentials : public WinInetHttp,
                           public ::testing::WithParamInterface<CredentialCase> {};

TEST_P(WinInetCredentials, SentWithTheRequest) {
    const CredentialCase& c = GetParam();
    LoopbackServer server(ChallengeThenReply(HttpResponse(200, "OK", "good")));
    HINTERNET session = OpenSession();
    std::u16string url = U16(WithCredentials(server, c.userinfo, "/dyndns/update?h=1"));
    HINTERNET request = InternetOpenUrlW(session, W(url), NULL, 0, 0, 0);
    ASSERT_NE(nullptr, request) << c.why << ": error " << GetLastError();
    DWORD error = 0;
    EXPECT_EQ("good", ReadAll(request, 64, &error)) << c.why;

    std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(1u, requests.size()) << c.why << ": Basic credentials go with the first request";
    EXPECT_EQ(c.seen, DecodeBasic(HeaderValue(requests[0], "Authorization"))) << c.why;
    EXPECT_EQ("/dyndns/update?h=1", RequestTarget(requests[0])) << c.why;
    InternetCloseHandle(session);
}

INSTANTIATE_TEST_SUITE_P(Table, WinInetCredentials, ::testing::ValuesIn(kCredentialCases));

TEST_F(WinInetHttp, A401ToTheCredentialsIsTheAnswer) {
    LoopbackServer server(EndlessChallenge());
    HINTERNET session = OpenSession();
    HINTERNET request = OpenUrl(session, WithCredentials(server, "tovix:wrong", "/"));
    ASSERT_NE(nullptr, request) << "error " << GetLastError();
    DWORD error = 0;
    EXPECT_EQ("badauth", ReadAll(request, 128, &error));
    EXPECT_EQ(0u, error);
    ASSERT_EQ(1u, server.Requests().size()) << "no second try";
    EXPECT_EQ("tovix:wrong", DecodeBasic(HeaderValue(server.Requests()[0], "Authorization")));
    InternetCloseHandle(session);
}

TEST_F(WinInetHttp, ChallengeWithoutCredentialsIsTheAnswer) {
    LoopbackServer server(EndlessChallenge());
    HINTERNET session = OpenSession();
    HINTERNET request = OpenUrl(session, server.Url());
    ASSERT_NE(nullptr, request);
    DWORD error = 0;
    EXPECT_EQ("badauth", ReadAll(request, 128, &error));
    EXPECT_EQ(1u, server.Requests().size());
    InternetCloseHandle(session);
}

TEST_F(WinInetHttp, RedirectFollowedAndReported) {
    LoopbackServer server(ByPath({
        {"/start", HttpResponse(302, "Found", "moved", "Location: /final?x=1\r\n")},
        {"/final", HttpResponse(200, "OK", "arrived")},
    }));
    HINTERNET session = OpenSession();
    InternetSetStatusCallbackW(session, StatusLog::Callback);
    HINTERNET request = OpenUrl(session, WithCredentials(server, "u:p", "/start"), kContext);
    ASSERT_NE(nullptr, request) << "error " << GetLastError();
    DWORD error = 0;
    EXPECT_EQ("arrived", ReadAll(request, 128, &error));
    std::vector<Status> statuses = StatusLog::Take();
    std::vector<std::string> redirects;
    for (const Status& s : statuses) {
        if (s.status == INTERNET_STATUS_REDIRECT) {
            redirects.push_back(s.text);
        }
    }
    EXPECT_EQ(std::vector<std::string>{server.Url("/final?x=1")}, redirects);
    ASSERT_EQ(2u, server.Requests().size());
    EXPECT_EQ("/final?x=1", RequestTarget(server.Requests()[1]));
    for (const std::string& head : server.Requests()) {
        EXPECT_EQ("u:p", DecodeBasic(HeaderValue(head, "Authorization")))
            << "credentials stay on for the same server";
    }
    InternetCloseHandle(session);
}

TEST_F(WinInetHttp, NoAutoRedirectGivesThe302) {
    LoopbackServer server(
        ByPath({{"/start", HttpResponse(302, "Found", "moved", "Location: /final\r\n")}}));
    HINTERNET session = OpenSession();
    HINTERNET request = OpenUrl(session, server.Url("/start"), 0, INTERNET_FLAG_NO_AUTO_REDIRECT);
    ASSERT_NE(nullptr, request);
    DWORD error = 0;
    EXPECT_EQ("moved", ReadAll(request, 128, &error));
    EXPECT_EQ(1u, server.Requests().size());
    InternetCloseHandle(session);
}

TEST_F(WinInetHttp, RedirectToAnotherServer) {
    LoopbackServer other(Reply(HttpResponse(200, "OK", "other")));
    LoopbackServer first(
        Reply(HttpResponse(301, "Moved", "", "Location: " + other.Url("/x") + "\r\n")));
    HINTERNET session = OpenSession();
    InternetSetStatusCallbackW(session, StatusLog::Callback);
    HINTERNET request = OpenUrl(session, WithCredentials(first, "u:p", "/"), kContext);
    ASSERT_NE(nullptr, request);
    DWORD error = 0;
    EXPECT_EQ("other", ReadAll(request, 128, &error));
    InternetCloseHandle(request);
    std::vector<DWORD> expected = {60, 10, 11, 20, 21, 30, 31, 40, 41, 110,
                                   10, 11, 20, 21, 30, 31, 40, 41, 70};
    EXPECT_EQ(expected, StatusLog::TakeCodes());
    EXPECT_EQ("u:p", DecodeBasic(HeaderValue(first.Requests().at(0), "Authorization")));
    bool authorized = true;
    HeaderValue(other.Requests().at(0), "Authorization", &authorized);
    EXPECT_FALSE(authorized) << "credentials stay with their server";
    InternetCloseHandle(session);
}

// ---- Status callbacks ----

enum class Scenario { Plain, Challenge, Redirect, Refused, Reset };

struct OrderCase {
    const char* why;
    Scenario scenario;
    DWORD error;
    std::vector<DWORD> statuses; // through InternetOpenUrlW, then closing the request
};

const OrderCase kOrderCases[] = {
    {"plain GET", Scenario::Plain, 0, {60, 10, 11, 20, 21, 30, 31, 40, 41, 70}},
    {"a 401 is an answer", Scenario::Challenge, 0, {60, 10, 11, 20, 21, 30, 31, 40, 41, 70}},
    {"redirect on the same connection",
     Scenario::Redirect,
     0,
     {60, 10, 11, 20, 21, 30, 31, 40, 41, 110, 30, 31, 40, 41, 70}},
    {"refused", Scenario::Refused, ERROR_INTERNET_CANNOT_CONNECT, {60, 10, 11, 20, 70}},
    {"reset after the request: the dead connection is closed",
     Scenario::Reset,
     ERROR_INTERNET_CONNECTION_RESET,
     {60, 10, 11, 20, 21, 30, 31, 40, 50, 51, 70}},
};

void PrintTo(const OrderCase& c, std::ostream* os) {
    *os << c.why;
}

class StatusOrder : public WinInetHttp, public ::testing::WithParamInterface<OrderCase> {};

TEST_P(StatusOrder, InThePlatformsOrder) {
    const OrderCase& c = GetParam();
    Behaviour behaviour;
    switch (c.scenario) {
    case Scenario::Plain:
    case Scenario::Refused:
        behaviour = Reply(HttpResponse(200, "OK", "good"));
        break;
    case Scenario::Challenge:
        behaviour = EndlessChallenge();
        break;
    case Scenario::Redirect:
        behaviour = ByPath({{"/start", HttpResponse(302, "Found", "", "Location: /end\r\n")},
                            {"/end", HttpResponse(200, "OK", "good")}});
        break;
    case Scenario::Reset:
        behaviour = ResetAfterRequest();
        break;
    }
    LoopbackServer server(behaviour);
    std::string url = WithCredentials(server, "tovix:KoReL52", "/start");
    if (c.scenario == Scenario::Refused) {
        url = "http://127.0.0.1:" + std::to_string(RefusedPort()) + "/";
    }
    HINTERNET session = OpenSession();
    EXPECT_EQ(nullptr, InternetSetStatusCallbackW(session, StatusLog::Callback));
    HINTERNET request = OpenUrl(session, url, kContext);
    DWORD error = request ? 0 : GetLastError();
    EXPECT_EQ(c.error, error) << c.why;
    if (request) {
        InternetCloseHandle(request);
    }
    std::vector<Status> statuses = StatusLog::Take();
    std::vector<DWORD> codes;
    for (const Status& s : statuses) {
        codes.push_back(s.status);
        EXPECT_EQ(std::this_thread::get_id(), s.thread) << c.why << ": on the calling thread";
        EXPECT_EQ(kContext, s.context) << c.why;
    }
    EXPECT_EQ(c.statuses, codes) << c.why;
    if (!statuses.empty()) {
        EXPECT_EQ("127.0.0.1", statuses[1].text) << c.why << ": RESOLVING_NAME names the host";
        EXPECT_EQ(statuses.front().handle, statuses.back().handle) << c.why;
    }
    InternetCloseHandle(session);
}

INSTANTIATE_TEST_SUITE_P(Table, StatusOrder, ::testing::ValuesIn(kOrderCases));

// ---- Letting go of the connection ----

// When a request lets go of its connection: kept for the next request
// (nothing reported) or closed between CLOSING_CONNECTION (50) and
// CONNECTION_CLOSED (51), during the open, a read that returns nothing, or
// the close of the handle (before HANDLE_CLOSING, 70).
struct ReleaseCase {
    const char* why;
    std::string answer;
    bool serverCloses; // after the answer
    int reads;         // of 128 bytes each
    const char* atOpen;
    const char* atLastRead;
    const char* atClose;
};

const std::string kClose = "Connection: close\r\n";
const std::string k300 = "badauth" + std::string(293, 'z');

const ReleaseCase kReleaseCases[] = {
    {"keep-alive, read in part: kept", HttpResponse(200, "OK", k300), false, 1, "", "", "70"},
    {"Connection: close", HttpResponse(200, "OK", k300, kClose), true, 1, "", "", "50 51 70"},
    {"Connection: close, read to the end", HttpResponse(200, "OK", "badauth", kClose), true, 2, "",
     "50 51", "70"},
    {"Connection: close, empty body", HttpResponse(200, "OK", "", kClose), true, 1, "50 51", "",
     "70"},
    {"chunked, chunks left unread", ChunkedResponse(200, "OK", k300), false, 1, "", "", "50 51 70"},
    {"chunked, read to the end: kept", ChunkedResponse(200, "OK", "badauth"), false, 2, "", "",
     "70"},
    {"HTTP/1.0 without a length", "HTTP/1.0 200 OK\r\n\r\nbadauth", true, 2, "", "50 51", "70"},
    {"HTTP/1.0 with Connection: Keep-Alive: kept",
     "HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Length: 7\r\n\r\nbadauth", false, 1, "",
     "", "70"},
};

void PrintTo(const ReleaseCase& c, std::ostream* os) {
    *os << c.why;
}

// The codes of the connection's end in what the callback saw, as "50 51 70".
std::string ReleaseCodes() {
    std::string codes;
    for (DWORD code : StatusLog::TakeCodes()) {
        if (code == INTERNET_STATUS_CLOSING_CONNECTION ||
            code == INTERNET_STATUS_CONNECTION_CLOSED || code == INTERNET_STATUS_HANDLE_CLOSING) {
            codes += (codes.empty() ? "" : " ") + std::to_string(code);
        }
    }
    return codes;
}

class ConnectionRelease : public WinInetHttp, public ::testing::WithParamInterface<ReleaseCase> {};

TEST_P(ConnectionRelease, AsWinInetReportsIt) {
    const ReleaseCase& c = GetParam();
    LoopbackServer server([&c](Connection& connection) {
        if (connection.ReadRequest() && connection.Send(c.answer)) {
            if (c.serverCloses) {
                connection.Close();
            } else {
                connection.WaitForClose();
            }
        }
    });
    HINTERNET session = OpenSession();
    InternetSetStatusCallbackW(session, StatusLog::Callback);
    HINTERNET request = OpenUrl(session, server.Url(), kContext);
    ASSERT_NE(nullptr, request) << "error " << GetLastError();
    EXPECT_EQ(c.atOpen, ReleaseCodes()) << c.why << ": during the open";
    char buffer[128];
    for (int i = 0; i < c.reads; ++i) {
        ReleaseCodes();
        DWORD read = 0;
        EXPECT_TRUE(InternetReadFile(request, buffer, sizeof(buffer), &read)) << c.why;
    }
    EXPECT_EQ(c.atLastRead, ReleaseCodes()) << c.why << ": during the last read";
    InternetCloseHandle(request);
    EXPECT_EQ(c.atClose, ReleaseCodes()) << c.why << ": closing the request";
    InternetCloseHandle(session);
}

INSTANTIATE_TEST_SUITE_P(Table, ConnectionRelease, ::testing::ValuesIn(kReleaseCases));

TEST_F(WinInetHttp, ClearedCallbackHearsNothingOfTheClose) {
    LoopbackServer server(Reply(HttpResponse(200, "OK", "badauth", kClose)));
    HINTERNET session = OpenSession();
    InternetSetStatusCallbackW(session, StatusLog::Callback);
    HINTERNET request = OpenUrl(session, server.Url(), kContext);
    ASSERT_NE(nullptr, request);
    EXPECT_EQ(StatusLog::Callback, InternetSetStatusCallbackW(request, NULL))
        << "the request took its session's callback";
    StatusLog::Take();
    InternetCloseHandle(request);
    InternetCloseHandle(session);
    EXPECT_TRUE(StatusLog::Take().empty());
}

TEST_F(WinInetHttp, NoStatusCallbacksWithContextZero) {
    LoopbackServer server(ChallengeThenReply(HttpResponse(200, "OK", "good")));
    HINTERNET session = OpenSession();
    InternetSetStatusCallbackW(session, StatusLog::Callback);
    HINTERNET request = OpenUrl(session, WithCredentials(server, "a:b", "/"), 0);
    ASSERT_NE(nullptr, request);
    DWORD error = 0;
    EXPECT_EQ("good", ReadAll(request, 2, &error));
    InternetCloseHandle(request);
    InternetCloseHandle(session);
    EXPECT_TRUE(StatusLog::Take().empty());
}

TEST_F(WinInetHttp, ReadThatWaitsReportsReceiving) {
    LoopbackServer server([](Connection& c) {
        if (c.ReadRequest() && c.Send("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n") &&
            c.Wait(300) && c.Send("good")) {
            c.WaitForClose();
        }
    });
    HINTERNET session = OpenSession(INTERNET_OPEN_TYPE_DIRECT, 5000);
    InternetSetStatusCallbackW(session, StatusLog::Callback);
    HINTERNET request = OpenUrl(session, server.Url(), kContext);
    ASSERT_NE(nullptr, request);
    StatusLog::Take();
    char buffer[4];
    DWORD read = 0;
    ASSERT_TRUE(InternetReadFile(request, buffer, 4, &read));
    EXPECT_EQ("good", std::string(buffer, read));
    EXPECT_EQ((std::vector<DWORD>{40, 41}), StatusLog::TakeCodes());
    InternetCloseHandle(session);
}

TEST_F(WinInetHttp, SetStatusCallbackReturnsThePreviousOne) {
    HINTERNET session = OpenSession();
    EXPECT_EQ(nullptr, InternetSetStatusCallbackW(session, StatusLog::Callback));
    EXPECT_EQ(StatusLog::Callback, InternetSetStatusCallbackW(session, NULL));
    EXPECT_EQ(nullptr, InternetSetStatusCallbackW(session, NULL));
    InternetCloseHandle(session);
}

// ---- Hostile servers ----

Behaviour DripWholeResponse() {
    return Drip(HttpResponse(200, "OK", "good 1.2.3.4"), 200);
}
Behaviour OneEndlessHeaderLine() {
    return [](Connection& c) {
        if (c.ReadRequest() && c.Send("HTTP/1.1 200 OK\r\nX-Long: ")) {
            std::string filler(16 * 1024, 'a');
            while (c.Send(filler)) {
            }
        }
    };
}
Behaviour DripBody() {
    return [](Connection& c) {
        if (c.ReadRequest() && c.Send("HTTP/1.1 200 OK\r\nContent-Length: 200\r\n\r\n")) {
            c.Drip(std::string(200, 'g'), 300);
        }
    };
}
Behaviour BodyCutShort() {
    return [](Connection& c) {
        if (c.ReadRequest()) {
            c.Send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\ngood");
        }
    };
}

struct HostileCase {
    const char* why;
    Behaviour (*make)();
    DWORD openError;        // 0: the open succeeds
    DWORD readError;        // the first read of 128 bytes, when the open succeeds
    const char* bodyBefore; // what reads return before the failure
};

const HostileCase kHostileCases[] = {
    {"accepts and never answers", NeverAnswer, ERROR_INTERNET_TIMEOUT, 0, ""},
    {"stops in the middle of the headers", StopMidHeaders, ERROR_INTERNET_TIMEOUT, 0, ""},
    {"drips the response", DripWholeResponse, ERROR_INTERNET_TIMEOUT, 0, ""},
    {"drips the body", DripBody, 0, ERROR_INTERNET_TIMEOUT, ""},
    {"endless header lines", EndlessHeaders, ERROR_HTTP_INVALID_SERVER_RESPONSE, 0, ""},
    {"one endless header line", OneEndlessHeaderLine, ERROR_HTTP_INVALID_SERVER_RESPONSE, 0, ""},
    {"resets after the request", ResetAfterRequest, ERROR_INTERNET_CONNECTION_RESET, 0, ""},
    {"closes without a word", CloseAfterRequest, ERROR_INTERNET_CONNECTION_ABORTED, 0, ""},
    {"answers garbage", Garbage, ERROR_HTTP_INVALID_SERVER_RESPONSE, 0, ""},
    {"redirects in a loop", RedirectLoop, ERROR_HTTP_REDIRECT_FAILED, 0, ""},
    {"cuts the body short", BodyCutShort, 0, ERROR_INTERNET_CONNECTION_ABORTED, "good"},
};

void PrintTo(const HostileCase& c, std::ostream* os) {
    *os << c.why;
}

class HostileServer : public WinInetHttp, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(HostileServer, FailsWithTheRightCode) {
    const HostileCase& c = GetParam();
    tovix::ResetInternetPeakBufferedBytes();
    LoopbackServer server(c.make());
    HINTERNET session = OpenSession(INTERNET_OPEN_TYPE_DIRECT, 1000);
    SetLastError(0);
    HINTERNET request = OpenUrl(session, server.Url("/"));
    if (c.openError) {
        EXPECT_EQ(nullptr, request) << c.why;
        EXPECT_EQ(c.openError, GetLastError()) << c.why;
    } else {
        ASSERT_NE(nullptr, request) << c.why << ": error " << GetLastError();
        DWORD error = 0;
        EXPECT_EQ(c.bodyBefore, ReadAll(request, 128, &error)) << c.why;
        EXPECT_EQ(c.readError, error) << c.why;
    }
    EXPECT_LE(tovix::InternetPeakBufferedBytes(), 80u * 1024) << c.why;
    InternetCloseHandle(session);
}

INSTANTIATE_TEST_SUITE_P(Table, HostileServer, ::testing::ValuesIn(kHostileCases));

TEST_F(WinInetHttp, EndlessBodyStaysBounded) {
    tovix::ResetInternetPeakBufferedBytes();
    LoopbackServer server(EndlessBody());
    HINTERNET session = OpenSession(INTERNET_OPEN_TYPE_DIRECT, 5000);
    HINTERNET request = OpenUrl(session, server.Url());
    ASSERT_NE(nullptr, request) << "error " << GetLastError();
    char buffer[128];
    DWORD read = 0;
    ASSERT_TRUE(InternetReadFile(request, buffer, sizeof(buffer), &read));
    EXPECT_EQ(std::string(128, 'x'), std::string(buffer, read));
    // Keep reading a few megabytes: the layer's buffer must not grow with them.
    std::vector<char> big(4096);
    for (int i = 0; i < 1024; ++i) {
        ASSERT_TRUE(InternetReadFile(request, big.data(), 4096, &read));
        ASSERT_EQ(4096u, read);
    }
    EXPECT_LE(tovix::InternetPeakBufferedBytes(), 80u * 1024);
    EXPECT_TRUE(InternetCloseHandle(request));
    EXPECT_TRUE(InternetCloseHandle(session));
}

TEST_F(WinInetHttp, TimedOutReadLosesNothing) {
    LoopbackServer server(DripBody());
    HINTERNET session = OpenSession(INTERNET_OPEN_TYPE_DIRECT, 1000);
    HINTERNET request = OpenUrl(session, server.Url());
    ASSERT_NE(nullptr, request);
    char buffer[128];
    DWORD read = 5;
    EXPECT_FALSE(InternetReadFile(request, buffer, sizeof(buffer), &read));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INTERNET_TIMEOUT), GetLastError());
    EXPECT_EQ(0u, read);
    ASSERT_TRUE(InternetReadFile(request, buffer, 2, &read));
    EXPECT_EQ("gg", std::string(buffer, read)) << "the bytes that came before the timeout";
    InternetCloseHandle(session);
}

// ---- Errors before any answer ----

TEST_F(WinInetHttp, NameNotResolved) {
    HINTERNET session = OpenSession();
    SetLastError(0);
    EXPECT_EQ(nullptr, OpenUrl(session, "http://nonexistent.invalid/"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INTERNET_NAME_NOT_RESOLVED), GetLastError());
    InternetCloseHandle(session);
}

TEST_F(WinInetHttp, RefusedPort) {
    HINTERNET session = OpenSession();
    SetLastError(0);
    EXPECT_EQ(nullptr, OpenUrl(session, "http://127.0.0.1:" + std::to_string(RefusedPort()) + "/"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INTERNET_CANNOT_CONNECT), GetLastError());
    InternetCloseHandle(session);
}

struct BadUrlCase {
    const char* url;
    DWORD error;
};

TEST_F(WinInetHttp, BadUrls) {
    const BadUrlCase cases[] = {
        {"ftp://127.0.0.1/", ERROR_INTERNET_UNRECOGNIZED_SCHEME},
        {"https://127.0.0.1/", ERROR_INTERNET_UNRECOGNIZED_SCHEME},
        {"no scheme at all", ERROR_INTERNET_UNRECOGNIZED_SCHEME},
        {"http:/127.0.0.1/", ERROR_INTERNET_INVALID_URL},
        {"http://127.0.0.1:port/", ERROR_INTERNET_INVALID_URL},
        {"http://", ERROR_INTERNET_INVALID_URL},
    };
    HINTERNET session = OpenSession();
    for (const BadUrlCase& c : cases) {
        SetLastError(0);
        EXPECT_EQ(nullptr, OpenUrl(session, c.url)) << c.url;
        EXPECT_EQ(c.error, GetLastError()) << c.url;
    }
    SetLastError(0);
    EXPECT_EQ(nullptr, InternetOpenUrlW(session, NULL, NULL, 0, 0, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    InternetCloseHandle(session);
}

TEST_F(WinInetHttp, InjectedFailures) {
    LoopbackServer server(Reply(HttpResponse(200, "OK", "good")));
    HINTERNET session = OpenSession();
    tovix::FailNextCall("InternetOpenUrlW", 12999);
    EXPECT_EQ(nullptr, OpenUrl(session, server.Url()));
    EXPECT_EQ(12999u, GetLastError());
    EXPECT_TRUE(server.Requests().empty()) << "nothing was sent";

    HINTERNET request = OpenUrl(session, server.Url());
    ASSERT_NE(nullptr, request) << "the failure is used up";
    tovix::FailNextCall("InternetReadFile", ERROR_INTERNET_CONNECTION_RESET);
    char buffer[8];
    DWORD read = 0;
    EXPECT_FALSE(InternetReadFile(request, buffer, sizeof(buffer), &read));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INTERNET_CONNECTION_RESET), GetLastError());
    ASSERT_TRUE(InternetReadFile(request, buffer, sizeof(buffer), &read));
    EXPECT_EQ("good", std::string(buffer, read));
    InternetCloseHandle(session);
}

// ---- Proxies ----

TEST_F(WinInetHttp, PreconfigTakesTheProxyFromTheEnvironment) {
    LoopbackServer proxy(Reply(HttpResponse(200, "OK", "via proxy")));
    setenv("http_proxy", proxy.Url("").c_str(), 1);
    HINTERNET session = OpenSession(INTERNET_OPEN_TYPE_PRECONFIG);
    HINTERNET request = OpenUrl(session, "http://update.example/path?q=1");
    unsetenv("http_proxy");
    ASSERT_NE(nullptr, request) << "error " << GetLastError();
    DWORD error = 0;
    EXPECT_EQ("via proxy", ReadAll(request, 64, &error));
    EXPECT_EQ("http://update.example/path?q=1", RequestTarget(proxy.Requests().at(0)));
    InternetCloseHandle(session);
}

TEST_F(WinInetHttp, DirectIgnoresTheEnvironment) {
    LoopbackServer proxy(Reply(HttpResponse(200, "OK", "via proxy")));
    LoopbackServer server(Reply(HttpResponse(200, "OK", "direct")));
    setenv("http_proxy", proxy.Url("").c_str(), 1);
    HINTERNET session = OpenSession(INTERNET_OPEN_TYPE_DIRECT);
    HINTERNET request = OpenUrl(session, server.Url());
    unsetenv("http_proxy");
    ASSERT_NE(nullptr, request);
    DWORD error = 0;
    EXPECT_EQ("direct", ReadAll(request, 64, &error));
    EXPECT_TRUE(proxy.Requests().empty());
    InternetCloseHandle(session);
}

TEST_F(WinInetHttp, ExplicitProxy) {
    LoopbackServer proxy(Reply(HttpResponse(200, "OK", "via proxy")));
    std::u16string list = U16("ftp=10.0.0.1:21 http=127.0.0.1:" + std::to_string(proxy.port()));
    HINTERNET session = InternetOpenW(L"T", INTERNET_OPEN_TYPE_PROXY, W(list), L"<local>", 0);
    ASSERT_NE(nullptr, session);
    HINTERNET request = OpenUrl(session, "http://update.example/");
    ASSERT_NE(nullptr, request) << "error " << GetLastError();
    EXPECT_EQ("http://update.example/", RequestTarget(proxy.Requests().at(0)));
    InternetCloseHandle(session);
}

// ---- Sessions, options and handles ----

TEST_F(WinInetHttp, OpenRefusesWhatIsNotHere) {
    SetLastError(0);
    EXPECT_EQ(nullptr, InternetOpenW(L"T", INTERNET_OPEN_TYPE_DIRECT, NULL, NULL, 0x10000000));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError()) << "asynchronous";
    SetLastError(0);
    EXPECT_EQ(nullptr, InternetOpenW(L"T", 2, NULL, NULL, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError()) << "access type";
    SetLastError(0);
    EXPECT_EQ(nullptr, InternetOpenW(L"T", INTERNET_OPEN_TYPE_PROXY, NULL, NULL, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError()) << "no proxy named";
}

TEST_F(WinInetHttp, Options) {
    HINTERNET session = OpenSession();
    DWORD value = 5000;
    EXPECT_TRUE(InternetSetOptionW(session, INTERNET_OPTION_RECEIVE_TIMEOUT, &value, 4));
    SetLastError(0);
    EXPECT_FALSE(InternetSetOptionW(session, INTERNET_OPTION_RECEIVE_TIMEOUT, &value, 2));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INTERNET_BAD_OPTION_LENGTH), GetLastError());
    SetLastError(0);
    EXPECT_FALSE(InternetSetOptionW(session, 9999, &value, 4));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INTERNET_INVALID_OPTION), GetLastError());
    SetLastError(0);
    EXPECT_FALSE(InternetSetOptionW(session, INTERNET_OPTION_CONNECT_TIMEOUT, NULL, 4));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    SetLastError(0);
    EXPECT_FALSE(InternetSetOptionW(NULL, INTERNET_OPTION_CONNECT_TIMEOUT, &value, 4));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    InternetCloseHandle(session);
}

TEST_F(WinInetHttp, RequestTimeoutOverridesTheSessions) {
    LoopbackServer server(DripBody());
    HINTERNET session = OpenSession(INTERNET_OPEN_TYPE_DIRECT, 60000);
    HINTERNET request = OpenUrl(session, server.Url());
    ASSERT_NE(nullptr, request);
    DWORD value = 500;
    ASSERT_TRUE(InternetSetOptionW(request, INTERNET_OPTION_RECEIVE_TIMEOUT, &value, 4));
    char buffer[128];
    DWORD read = 0;
    EXPECT_FALSE(InternetReadFile(request, buffer, sizeof(buffer), &read));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INTERNET_TIMEOUT), GetLastError());
    InternetCloseHandle(session);
}

TEST_F(WinInetHttp, ClosedAndMadeUpHandlesAreInvalid) {
    LoopbackServer server(Reply(HttpResponse(200, "OK", "good")));
    HINTERNET session = OpenSession();
    HINTERNET request = OpenUrl(session, server.Url());
    ASSERT_NE(nullptr, request);
    EXPECT_TRUE(InternetCloseHandle(request));

    HINTERNET madeUp = reinterpret_cast<HINTERNET>(static_cast<uintptr_t>(0x12345));
    HINTERNET outOfRange = reinterpret_cast<HINTERNET>(static_cast<uintptr_t>(0xFFFF));
    for (HINTERNET bad : {request, madeUp, outOfRange, static_cast<HINTERNET>(nullptr)}) {
        char buffer[4];
        DWORD read = 7;
        DWORD value = 1;
        SetLastError(0);
        EXPECT_FALSE(InternetReadFile(bad, buffer, 4, &read)) << bad;
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError()) << bad;
        EXPECT_EQ(0u, read);
        SetLastError(0);
        EXPECT_FALSE(InternetCloseHandle(bad)) << bad;
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError()) << bad;
        SetLastError(0);
        EXPECT_FALSE(InternetSetOptionW(bad, INTERNET_OPTION_RECEIVE_TIMEOUT, &value, 4)) << bad;
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError()) << bad;
        SetLastError(0);
        EXPECT_EQ(INTERNET_INVALID_STATUS_CALLBACK,
                  InternetSetStatusCallbackW(bad, StatusLog::Callback))
            << bad;
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError()) << bad;
        SetLastError(0);
        EXPECT_EQ(nullptr, OpenUrl(bad, server.Url())) << bad;
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError()) << bad;
    }

    // A handle of the wrong kind.
    char buffer[4];
    DWORD read = 0;
    SetLastError(0);
    EXPECT_FALSE(InternetReadFile(session, buffer, 4, &read));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INTERNET_INCORRECT_HANDLE_TYPE), GetLastError());

    EXPECT_TRUE(InternetCloseHandle(session));
    SetLastError(0);
    EXPECT_FALSE(InternetCloseHandle(session)) << "closing twice";
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

    // The slot is used again, under another value; the old one stays dead.
    HINTERNET again = OpenSession();
    EXPECT_NE(session, again);
    EXPECT_FALSE(InternetCloseHandle(session));
    EXPECT_TRUE(InternetCloseHandle(again));
}

TEST_F(WinInetHttp, ClosingTheSessionClosesItsRequests) {
    LoopbackServer server(Reply(HttpResponse(200, "OK", "good")));
    HINTERNET session = OpenSession();
    InternetSetStatusCallbackW(session, StatusLog::Callback);
    HINTERNET request = OpenUrl(session, server.Url(), kContext);
    ASSERT_NE(nullptr, request);
    StatusLog::Take();
    EXPECT_TRUE(InternetCloseHandle(session));
    std::vector<Status> statuses = StatusLog::Take();
    ASSERT_EQ(1u, statuses.size());
    EXPECT_EQ(static_cast<DWORD>(INTERNET_STATUS_HANDLE_CLOSING), statuses[0].status);
    EXPECT_EQ(request, statuses[0].handle);
    char buffer[4];
    DWORD read = 0;
    SetLastError(0);
    EXPECT_FALSE(InternetReadFile(request, buffer, 4, &read));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_FALSE(InternetCloseHandle(request));
}

TEST_F(WinInetHttp, TableFillsUpAndEmpties) {
    std::vector<HINTERNET> sessions;
    size_t room = tovix::InternetHandleCapacity() - tovix::InternetLiveHandleCount();
    for (size_t i = 0; i < room; ++i) {
        HINTERNET s = InternetOpenW(L"T", INTERNET_OPEN_TYPE_DIRECT, NULL, NULL, 0);
        ASSERT_NE(nullptr, s) << i;
        sessions.push_back(s);
    }
    SetLastError(0);
    EXPECT_EQ(nullptr, InternetOpenW(L"T", INTERNET_OPEN_TYPE_DIRECT, NULL, NULL, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INTERNET_OUT_OF_HANDLES), GetLastError());
    for (HINTERNET s : sessions) {
        EXPECT_TRUE(InternetCloseHandle(s));
    }
}

} // namespace
