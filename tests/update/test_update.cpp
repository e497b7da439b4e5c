/*
 * RunUpdate, the program's update worker, on the host WinInet layer against
 * a scripted server at the program's fixed address, 127.0.0.1:80. The test
 * runs in a private network namespace (netns-run.sh) so that port is free.
 * The window's controls are a recording user32 stand-in; the status line is
 * compared as UTF-8 text. Each run goes on a thread of its own, as under the
 * progress dialog, and is waited for with a generous bound.
 */
#include <windows.h>
#include <wininet.h>

#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "app/settings.h"
#include "loopback_server.h"
#include "resource.h"
#include "server_address.h"
#include "text.h"
#include "update/update.h"
#include "user32_double.h"
#include "driver/driver.h"
#include "wininet/handles.h"

using namespace testing_server;
using user32_double::Call;

namespace {

const HWND kWindow = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x7710));
const auto kBound = std::chrono::seconds(60);
const DWORD kRefused = static_cast<DWORD>(-1);

const char kResolving[] = "正在解析域名...";
const char kConnecting[] = "正在连接到服务器...";
const char kSending[] = "正在发送请求...";
const char kReceiving[] = "正在接收响应...";
const char kSuccess[] = "域名注册成功: ";
const char kFailure[] = "域名注册失败: ";
const char kCloseCaption[] = "关闭(&C))";
const char kUpdateTarget[] = "/dyndns/update?system=dyndns&hostname=home.tovix.example&wildcard=ON&"
                             "mx=home.tovix.example&backmx=YES";

void SetField(WCHAR* field, const std::string& utf8) {
    std::u16string text = testing_text::U16(utf8);
    lstrcpynW(field, testing_text::W(text), SETTINGS_FIELD_CHARS);
}

void SetAccount(const std::string& host, const std::string& user, const std::string& password) {
    SetField(UpdateSettings.szHostName, host);
    SetField(UpdateSettings.szUserName, user);
    SetField(UpdateSettings.szPassword, password);
}

// The dialog's cancel: take the session out of the slot and close it.
void CancelLikeTheDialog() {
    if (HINTERNET session = SessionSlot.exchange(NULL)) {
        InternetCloseHandle(session);
    }
}

std::future<DWORD> StartRun(HWND window) {
    return std::async(std::launch::async, [window] { return RunUpdate(window); });
}

DWORD RunToEnd(HWND window) {
    std::future<DWORD> run = StartRun(window);
    if (run.wait_for(kBound) != std::future_status::ready) {
        ADD_FAILURE() << "RunUpdate did not come back";
        CancelLikeTheDialog();
    }
    return run.get();
}

// The texts the status line showed, in order, a repeat of the same text
// counted once.
std::vector<std::string> StatusTexts(const std::vector<Call>& calls) {
    std::vector<std::string> texts;
    for (const Call& call : calls) {
        if (call.function == "SetDlgItemTextW" && call.id == IDC_STATUS &&
            (texts.empty() || texts.back() != call.text)) {
            texts.push_back(call.text);
        }
    }
    return texts;
}

size_t CountText(const std::vector<Call>& calls, const std::string& text) {
    size_t count = 0;
    for (const Call& call : calls) {
        count += call.function == "SetDlgItemTextW" && call.id == IDC_STATUS && call.text == text;
    }
    return count;
}

// Checks the worker's report: the final status text, the timer after a
// success, and the button turned into a live Close button, in that order,
// with nothing after it.
void ExpectReport(const std::vector<Call>& calls, const std::string& text, bool success) {
    int last = -1;
    for (size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].function != "EnableWindow") {
            EXPECT_EQ(kWindow, calls[i].window) << calls[i].function;
        }
        if (calls[i].function == "SetDlgItemTextW" && calls[i].id == IDC_STATUS) {
            last = static_cast<int>(i);
        }
    }
    ASSERT_GE(last, 0) << "no status text at all";
    EXPECT_EQ(text, calls[last].text);
    int timers = 0;
    for (const Call& call : calls) {
        timers += call.function == "SetTimer";
    }
    if (success) {
        ASSERT_GE(last, 1);
        EXPECT_EQ("SetTimer", calls[last - 1].function);
        EXPECT_EQ(IDT_AUTOCLOSE, calls[last - 1].id);
        EXPECT_EQ(2000u, calls[last - 1].elapse);
        EXPECT_EQ(1, timers);
    } else {
        EXPECT_EQ(0, timers) << "no auto-close after a failure";
    }
    ASSERT_EQ(calls.size(), static_cast<size_t>(last) + 4) << "the button, then nothing";
    EXPECT_EQ("SetDlgItemTextW", calls[last + 1].function);
    EXPECT_EQ(IDCANCEL, calls[last + 1].id);
    EXPECT_EQ(kCloseCaption, calls[last + 1].text);
    EXPECT_EQ("GetDlgItem", calls[last + 2].function);
    EXPECT_EQ(IDCANCEL, calls[last + 2].id);
    EXPECT_EQ("EnableWindow", calls[last + 3].function);
    EXPECT_EQ(user32_double::ItemHandle(kWindow, IDCANCEL), calls[last + 3].window);
    EXPECT_TRUE(calls[last + 3].enable);
}

class Update : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::u16string(testing_text::U16("127.0.0.1")) !=
            std::u16string(reinterpret_cast<const char16_t*>(TOVIX_UPDATE_SERVER_ADDRESS))) {
            GTEST_SKIP() << "built for another update server address";
        }
        SetAccount(testing_text::U8(DEFAULT_HOST_NAME), testing_text::U8(DEFAULT_USER_NAME),
                   testing_text::U8(DEFAULT_PASSWORD));
        user32_double::Clear();
        SessionSlot.store(NULL);
        liveBefore_ = tovix::InternetLiveHandleCount();
    }
    void TearDown() override {
        EXPECT_EQ(nullptr, SessionSlot.load()) << "the slot is left empty";
        EXPECT_EQ(liveBefore_, tovix::InternetLiveHandleCount()) << "a handle was left open";
    }
    size_t liveBefore_ = 0;
};

// ---- Answers and hostile servers, with a window and without ----

Behaviour Answer(const std::string& body) {
    return ChallengeThenReply(HttpResponse(200, "OK", body));
}

struct RunCase {
    const char* why;
    std::function<Behaviour()> server; // none: nothing listens
    DWORD result;                      // with a window
    std::string text;                  // the final status text
};

const char kClose[] = "Connection: close\r\n";

std::string FailureText(const std::string& message) {
    return kFailure + message;
}

const RunCase kRunCases[] = {
    {"good with the address", [] { return Answer("good 1.2.3.4"); }, 0,
     std::string(kSuccess) + "good 1.2.3.4"},
    {"nochg with the address", [] { return Answer("nochg 1.2.3.4"); }, 0,
     std::string(kSuccess) + "nochg 1.2.3.4"},
    {"GOOD in capitals is refused", [] { return Answer("GOOD 1.2.3.4"); }, kRefused,
     FailureText("GOOD 1.2.3.4")},
    {"badauth with a 401", EndlessChallenge, kRefused, FailureText("badauth")},
    {"an answer over 128 bytes is cut", [] { return Answer("nohost " + std::string(200, 'z')); },
     kRefused, FailureText("nohost " + std::string(121, 'z'))},
    {"a good answer over 128 bytes is cut", [] { return Answer("good " + std::string(300, 'y')); },
     0, std::string(kSuccess) + "good " + std::string(123, 'y')},
    {"an empty answer", [] { return Answer(""); }, kRefused, FailureText("")},
    {"nobody listening", nullptr, ERROR_INTERNET_CANNOT_CONNECT,
     FailureText("无法与服务器建立连接。\r\n")},
    {"accepts and never answers", NeverAnswer, ERROR_INTERNET_TIMEOUT,
     FailureText("等待服务器响应时请求超时。\r\n")},
    {"stops in the middle of the headers", StopMidHeaders, ERROR_INTERNET_TIMEOUT,
     FailureText("等待服务器响应时请求超时。\r\n")},
    {"drips a byte a second", [] { return Drip(HttpResponse(200, "OK", "good"), 1000); },
     ERROR_INTERNET_TIMEOUT, FailureText("等待服务器响应时请求超时。\r\n")},
    {"endless body", EndlessBody, kRefused, FailureText(std::string(128, 'x'))},
    {"resets", ResetAfterRequest, ERROR_INTERNET_CONNECTION_RESET,
     FailureText("与服务器的连接已被重置。\r\n")},
    {"closes without a word", CloseAfterRequest, ERROR_INTERNET_CONNECTION_ABORTED,
     FailureText("与服务器的连接异常终止。\r\n")},
    {"garbage", Garbage, ERROR_HTTP_INVALID_SERVER_RESPONSE,
     FailureText("无法理解服务器的响应。\r\n")},
    {"endless headers", EndlessHeaders, ERROR_HTTP_INVALID_SERVER_RESPONSE,
     FailureText("无法理解服务器的响应。\r\n")},
    {"redirect loop", RedirectLoop, ERROR_HTTP_REDIRECT_FAILED,
     FailureText("无法完成重定向。\r\n")},
    {"endless 401", EndlessChallenge, kRefused, FailureText("badauth")},
    // Answers after which the connection cannot be kept: closing the request
    // reports CLOSING_CONNECTION, which must not reach the window.
    {"badauth, Connection: close",
     [] { return ChallengeThenReplyAndClose(HttpResponse(200, "OK", "badauth", kClose)); },
     kRefused, FailureText("badauth")},
    {"300 bytes starting badauth, Connection: close",
     [] {
         return ChallengeThenReplyAndClose(
             HttpResponse(200, "OK", "badauth" + std::string(293, 'z'), kClose));
     },
     kRefused, FailureText("badauth" + std::string(121, 'z'))},
    {"chunked 300 bytes, Connection: close",
     [] {
         return ChallengeThenReplyAndClose(
             ChunkedResponse(200, "OK", "badauth" + std::string(293, 'z'), kClose, 100));
     },
     kRefused, FailureText("badauth" + std::string(121, 'z'))},
    {"HTTP/1.0 without a length, closed after 300 bytes",
     [] {
         return ChallengeThenReplyAndClose("HTTP/1.0 200 OK\r\n\r\nbadauth" +
                                           std::string(293, 'z'));
     },
     kRefused, FailureText("badauth" + std::string(121, 'z'))},
    {"good, Connection: close",
     [] { return ChallengeThenReplyAndClose(HttpResponse(200, "OK", "good 127.0.0.1", kClose)); },
     0, std::string(kSuccess) + "good 127.0.0.1"},
};

void PrintTo(const RunCase& c, std::ostream* os) {
    *os << c.why;
}

class UpdateRun : public Update, public ::testing::WithParamInterface<RunCase> {};

TEST_P(UpdateRun, WithAWindow) {
    const RunCase& c = GetParam();
    std::unique_ptr<LoopbackServer> server;
    if (c.server) {
        server = std::make_unique<LoopbackServer>(c.server(), 80);
        ASSERT_TRUE(server->listening()) << "port 80 is taken";
    }
    EXPECT_EQ(c.result, RunToEnd(kWindow)) << c.why;
    std::vector<Call> calls = user32_double::Calls();
    ExpectReport(calls, c.text, c.result == 0);
    std::vector<std::string> texts = StatusTexts(calls);
    ASSERT_GE(texts.size(), 3u) << c.why;
    EXPECT_EQ(kResolving, texts[0]) << c.why;
    EXPECT_EQ(kConnecting, texts[1]) << c.why;
}

TEST_P(UpdateRun, Silent) {
    const RunCase& c = GetParam();
    std::unique_ptr<LoopbackServer> server;
    if (c.server) {
        server = std::make_unique<LoopbackServer>(c.server(), 80);
        ASSERT_TRUE(server->listening()) << "port 80 is taken";
    }
    EXPECT_EQ(c.result == 0 ? 0u : kRefused, RunToEnd(NULL)) << c.why;
    EXPECT_TRUE(user32_double::Calls().empty()) << c.why << ": no window, no control calls";
}

INSTANTIATE_TEST_SUITE_P(Table, UpdateRun, ::testing::ValuesIn(kRunCases));

// ---- The request itself ----

TEST_F(Update, GoodRunShowsEachStage) {
    LoopbackServer server(Answer("good 1.2.3.4"), 80);
    ASSERT_TRUE(server.listening());
    EXPECT_EQ(0u, RunToEnd(kWindow));
    std::vector<std::string> expected = {kResolving, kConnecting, kSending, kReceiving,
                                         std::string(kSuccess) + "good 1.2.3.4"};
    EXPECT_EQ(expected, StatusTexts(user32_double::Calls()));
}

TEST_F(Update, SilentRequestAsTheServerSeesIt) {
    LoopbackServer server(Answer("good 1.2.3.4"), 80);
    ASSERT_TRUE(server.listening());
    EXPECT_EQ(0u, RunToEnd(NULL));
    std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(1u, requests.size()) << "exactly one GET";
    EXPECT_EQ("GET", RequestMethod(requests[0]));
    EXPECT_EQ(kUpdateTarget, RequestTarget(requests[0]));
    EXPECT_EQ("Tovix", HeaderValue(requests[0], "User-Agent"));
    EXPECT_EQ("tovix:KoReL52", DecodeBasic(HeaderValue(requests[0], "Authorization")));
}

TEST_F(Update, RawCredentialsGoInUnescaped) {
    // The URL is http://us@er&1:K@o:R&e@127.0.0.1/...: the userinfo runs to
    // the last '@' before the first '/', the user name to its first ':'.
    SetAccount("home.tovix.example", "us@er&1", "K@o:R&e");
    LoopbackServer server(Answer("good 1.2.3.4"), 80);
    ASSERT_TRUE(server.listening());
    EXPECT_EQ(0u, RunToEnd(kWindow));
    std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("us@er&1:K@o:R&e", DecodeBasic(HeaderValue(requests[0], "Authorization")));
    EXPECT_EQ(kUpdateTarget, RequestTarget(requests[0]));
}

TEST_F(Update, ColonInTheUserNameGivesTheSameCredentials) {
    // "to:vix" + ":" + "pw" reads as user "to", password "vix:pw": the same
    // Basic header as the user meant.
    SetAccount("home.tovix.example", "to:vix", "pw");
    LoopbackServer server(Answer("good 1.2.3.4"), 80);
    ASSERT_TRUE(server.listening());
    EXPECT_EQ(0u, RunToEnd(NULL));
    ASSERT_EQ(1u, server.Requests().size());
    EXPECT_EQ("to:vix:pw", DecodeBasic(HeaderValue(server.Requests()[0], "Authorization")));
}

TEST_F(Update, SlashInThePasswordEndsTheAuthority) {
    // http://tovix:Ko/ReL52@127.0.0.1/...: the authority ends at that '/', so
    // the host is "tovix" with the port "Ko": not a URL. Nothing is sent.
    SetAccount("home.tovix.example", "tovix", "Ko/ReL52");
    LoopbackServer server(Answer("good 1.2.3.4"), 80);
    ASSERT_TRUE(server.listening());
    EXPECT_EQ(static_cast<DWORD>(ERROR_INTERNET_INVALID_URL), RunToEnd(kWindow));
    ExpectReport(user32_double::Calls(), FailureText("URL 无效。\r\n"), false);
    EXPECT_TRUE(server.Requests().empty());
}

TEST_F(Update, HostNameGoesInAsItStands) {
    SetAccount("家 h.example&x=1", "tovix", "KoReL52");
    LoopbackServer server(Answer("good 1.2.3.4"), 80);
    ASSERT_TRUE(server.listening());
    EXPECT_EQ(0u, RunToEnd(NULL));
    ASSERT_FALSE(server.Requests().empty());
    EXPECT_EQ("/dyndns/update?system=dyndns&hostname=%E5%AE%B6%20h.example&x=1&wildcard=ON&"
              "mx=%E5%AE%B6%20h.example&x=1&backmx=YES",
              RequestTarget(server.Requests()[0]));
}

TEST_F(Update, CodeWithoutTextShownAsNumber) {
    tovix::FailNextCall("InternetOpenUrlW", 12999);
    EXPECT_EQ(12999u, RunToEnd(kWindow));
    ExpectReport(user32_double::Calls(), FailureText("0X000032C7"), false);
}

TEST_F(Update, CodeWithoutTextSilent) {
    tovix::FailNextCall("InternetOpenUrlW", 12999);
    EXPECT_EQ(kRefused, RunToEnd(NULL));
    EXPECT_TRUE(user32_double::Calls().empty());
}

// ---- Cancelling, as the progress dialog does ----

TEST_F(Update, CancelBeforeTheSlotIsFilled) {
    LoopbackServer server(Answer("good 1.2.3.4"), 80);
    ASSERT_TRUE(server.listening());
    CancelLikeTheDialog(); // the slot is still empty: nothing to close
    EXPECT_EQ(0u, RunToEnd(kWindow));
    ExpectReport(user32_double::Calls(), std::string(kSuccess) + "good 1.2.3.4", true);
}

TEST_F(Update, CancelWhileOpening) {
    LoopbackServer server(NeverAnswer(), 80);
    ASSERT_TRUE(server.listening());
    std::future<DWORD> run = StartRun(kWindow);
    ASSERT_TRUE(server.WaitForRequests(1, 30000)) << "the request never came";
    CancelLikeTheDialog();
    ASSERT_EQ(std::future_status::ready, run.wait_for(kBound)) << "the cancel did not end the run";
    EXPECT_EQ(static_cast<DWORD>(ERROR_INTERNET_OPERATION_CANCELLED), run.get());
    ExpectReport(user32_double::Calls(),
                 FailureText("操作已取消，因为它所使用的句柄已被关闭。\r\n"), false);
}

TEST_F(Update, CancelWhileReading) {
    LoopbackServer server(
        [](Connection& c) {
            if (c.ReadRequest() && c.Send("HTTP/1.1 200 OK\r\nContent-Length: 200\r\n\r\n")) {
                c.Drip("good 1.2.3.4" + std::string(188, ' '), 1000);
            }
        },
        80);
    ASSERT_TRUE(server.listening());
    std::future<DWORD> run = StartRun(kWindow);
    // The read reports RECEIVING_RESPONSE a second time before it waits.
    ASSERT_TRUE(user32_double::WaitFor(
        [](const std::vector<Call>& calls) { return CountText(calls, kReceiving) >= 2; },
        std::chrono::seconds(30)));
    CancelLikeTheDialog();
    ASSERT_EQ(std::future_status::ready, run.wait_for(kBound)) << "the cancel did not end the run";
    EXPECT_EQ(static_cast<DWORD>(ERROR_INTERNET_OPERATION_CANCELLED), run.get());
    ExpectReport(user32_double::Calls(),
                 FailureText("操作已取消，因为它所使用的句柄已被关闭。\r\n"), false);
}

} // namespace

int main(int argc, char** argv) {
    // The worker's texts come in the user's language: Chinese here. No proxy
    // may come between the worker and the scripted server.
    setenv("LANG", "zh_CN.UTF-8", 1);
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "http_proxy", "HTTP_PROXY"}) {
        unsetenv(name);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
