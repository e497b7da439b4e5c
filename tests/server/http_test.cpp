// The HTTP layer against raw clients on loopback: limits on heads and
// bodies, pipelining, answers given later from another thread, the cut of a
// slow client, the log of what the layer refused, ambiguous body lengths
// (answered once, by the doorman when the library would not), connections
// per source, TLS versions and suites, and trusted proxies.
#include "base/strings.h"
#include "http/parts.h"
#include "http/server.h"
#include "support.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

namespace tovix::server {
namespace {

using test::loopback_socket;
using test::raw_exchange;

// Answers with the request's path, or later when the query says `later`.
class EchoServer {
  public:
    explicit EchoServer(HttpLimits limits = {})
        : http_(
              [this](const HttpRequest& request, HttpServer::Reply reply) {
                  HttpResponse response{200, request.path + " from " + request.peer, {}};
                  if (!request.param("later")) {
                      reply(response);
                      return;
                  }
                  std::lock_guard<std::mutex> lock(mutex_);
                  later_.emplace_back([reply, response] {
                      std::this_thread::sleep_for(std::chrono::milliseconds(300));
                      reply(response);
                  });
              },
              limits,
              [this](const Rejection& r) {
                  std::lock_guard<std::mutex> lock(mutex_);
                  rejections_.push_back(r);
              }) {
        // Heads refused under /page/ get a page of their own.
        http_.set_refusal_page(
            [](const HttpRequest& head, int status) -> std::optional<HttpResponse> {
                if (head.path.rfind("/page/", 0) != 0)
                    return std::nullopt;
                return HttpResponse{status,
                                    "page " + std::to_string(status) + " for " + head.method + " " +
                                        head.path + " in " +
                                        head.header("Accept-Language").value_or("-"),
                                    {{"Content-Type", "text/html"}}};
            });
        std::string error;
        if (!http_.listen({"127.0.0.1", 0, "", ""}, &error))
            throw std::runtime_error(error);
    }
    ~EchoServer() {
        for (std::thread& t : later_)
            t.join();
        http_.stop();
    }
    int port() const { return http_.port(); }
    std::vector<Rejection> rejections() {
        std::lock_guard<std::mutex> lock(mutex_);
        return rejections_;
    }

  private:
    std::mutex mutex_;
    std::vector<std::thread> later_;
    std::vector<Rejection> rejections_;
    HttpServer http_;
};

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

struct LimitCase {
    const char* why;
    std::string request;
    const char* status; // of the first answer
    int rejected;       // entries the refusal log gets
};

std::string many_headers(int n) {
    std::string head = "GET / HTTP/1.1\r\nHost: x\r\n";
    for (int i = 0; i < n; ++i)
        head += "X-" + std::to_string(i) + ": " + std::string(60, 'h') + "\r\n";
    return head + "\r\n";
}

std::string many_params(int n) {
    std::string target = "/a?p0";
    for (int i = 1; i < n; ++i)
        target += "&p" + std::to_string(i);
    return "GET " + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
}

const LimitCase kLimitCases[] = {
    {"a plain GET", "GET /a HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", "HTTP/1.1 200", 0},
    {"too many headers", many_headers(400), "HTTP/1.1 431", 1},
    {"a request target too long", "GET /" + std::string(5000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n",
     "HTTP/1.1 414", 1},
    {"a header line without a colon", "GET / HTTP/1.1\r\nHost: x\r\nno colon here\r\n\r\n",
     "HTTP/1.1 400", 1},
    {"a body not announced",
     "POST /a HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
     "HTTP/1.1 411", 1},
    {"a body too large", "POST /a HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n",
     "HTTP/1.1 413", 1},
    {"a small announced body is read",
     "POST /a HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello",
     "HTTP/1.1 200", 0},
    {"a POST without a length has no body",
     "POST /a HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", "HTTP/1.1 200", 0},
    {"64 query parameters are taken", many_params(64), "HTTP/1.1 200", 0},
    {"65 are too many", many_params(65), "HTTP/1.1 414", 1},
    {"300, more than the connection's memory holds", many_params(300), "HTTP/1.1 414", 1},
};

class Limits : public ::testing::TestWithParam<LimitCase> {};

TEST_P(Limits, AnsweredAtOnce) {
    const LimitCase& c = GetParam();
    EchoServer server;
    const std::string reply = raw_exchange(server.port(), c.request);
    EXPECT_EQ(0u, reply.rfind(c.status, 0)) << c.why << ":\n" << reply.substr(0, 200);
    EXPECT_EQ(1u, count(reply, "HTTP/1.1 ")) << c.why << ":\n" << reply;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::vector<Rejection> rejections = server.rejections();
    ASSERT_EQ(static_cast<std::size_t>(c.rejected), rejections.size()) << c.why;
    for (const Rejection& r : rejections) {
        EXPECT_EQ("127.0.0.1", r.peer) << c.why;
        EXPECT_NE(0, r.peer_port) << c.why;
    }
}

INSTANTIATE_TEST_SUITE_P(Http, Limits, ::testing::ValuesIn(kLimitCases));

// Heads whose body length a proxy in front could read otherwise: the body,
// a request of its own, must not be taken as one. Each refusal is one answer
// (libmicrohttpd 0.9.75 sends its own for a Content-Length it cannot parse
// with its head twice), and the connection is closed.
struct FramingCase {
    const char* why;
    const char* headers;
    const char* status; // nullptr: served, and the body read as a request
};

const FramingCase kFramingCases[] = {
    {"two Content-Length values that differ", "Content-Length: 0\r\nContent-Length: 57",
     "HTTP/1.1 400"},
    {"the same, the larger first", "Content-Length: 57\r\nContent-Length: 0", "HTTP/1.1 400"},
    {"one length given twice", "Content-Length: 0\r\nContent-Length: 0", "HTTP/1.1 400"},
    {"a blank before the colon", "Content-Length : 57", "HTTP/1.1 400"},
    {"a tab before the colon", "Content-Length\t: 57", "HTTP/1.1 400"},
    {"a blank before Transfer-Encoding's colon", "Transfer-Encoding : chunked", "HTTP/1.1 400"},
    {"a sign before the digits", "Content-Length: +0", "HTTP/1.1 400"},
    {"a list of lengths", "Content-Length: 0, 0", "HTTP/1.1 400"},
    {"a negative length", "Content-Length: -1", "HTTP/1.1 400"},
    {"a hexadecimal length", "Content-Length: 0x0", "HTTP/1.1 400"},
    {"an empty length", "Content-Length:", "HTTP/1.1 400"},
    {"a blank after the digits", "Content-Length: 0 ", "HTTP/1.1 400"},
    {"a length folded onto a second line", "Content-Length: 0\r\n 57", "HTTP/1.1 400"},
    {"Transfer-Encoding with Content-Length", "Transfer-Encoding: chunked\r\nContent-Length: 0",
     "HTTP/1.1 400"},
    {"a length past 64 bits", "Content-Length: 99999999999999999999999", "HTTP/1.1 413"},
    {"one plain length", "Content-Length: 0", nullptr},
    {"a tab before the digits", "Content-Length:\t0", nullptr},
};

TEST(HttpFraming, AmbiguousLengthsAreRefusedOnceAndTheConnectionClosed) {
    const std::string body = "GET /smuggled HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    for (const FramingCase& c : kFramingCases) {
        EchoServer server;
        bool closed = false;
        const std::string reply = raw_exchange(server.port(),
                                               "POST /a HTTP/1.1\r\nHost: x\r\n" +
                                                   std::string(c.headers) + "\r\n\r\n" + body,
                                               &closed);
        EXPECT_EQ(0u, reply.rfind(c.status ? c.status : "HTTP/1.1 200", 0)) << c.why;
        EXPECT_EQ(c.status ? 1u : 2u, count(reply, "HTTP/1.1 ")) << c.why << ":\n" << reply;
        EXPECT_TRUE(closed && reply.find("\r\nConnection: close\r\n") != std::string::npos)
            << c.why;
        // Logged before the answer is sent.
        EXPECT_EQ(c.status ? 1u : 0u, server.rejections().size()) << c.why;
    }
}

// What the doorman makes of a connection's first bytes.
struct ScreenCase {
    const char* why;
    std::string bytes;
    bool ended;
    Screening::Verdict verdict;
};

using V = Screening::Verdict;
const std::string kGet = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
const std::string kBad = "POST /bad HTTP/1.1\r\nContent-Length: +2\r\n\r\nhi";

const ScreenCase kScreenCases[] = {
    {"half a head", "GET / HTTP/1.1\r\nHost:", false, V::Wait},
    {"half a head, and the client has closed", "GET / HTTP/1.1\r\nHost:", true, V::Pass},
    {"a head too long to wait for", "GET / HTTP/1.1\r\nX: " + std::string(20000, 'x'), false,
     V::Pass},
    {"one good head", kGet, false, V::Pass},
    {"bare line feeds", "GET / HTTP/1.1\nHost: x\n\n", false, V::Pass},
    {"a bad head", kBad, false, V::Refuse},
    {"a bad head behind empty lines", "\r\n\r\n" + kBad, false, V::Refuse},
    {"a bad head behind a good one", kGet + kBad, false, V::Refuse},
    {"a bad head behind a body", "POST / HTTP/1.1\r\nContent-Length: 4\r\n\r\nabcd" + kBad, false,
     V::Refuse},
    {"a bad head inside a body is body",
     "POST / HTTP/1.1\r\nContent-Length: " + std::to_string(kBad.size()) + "\r\n\r\n" + kBad, false,
     V::Pass},
    {"a body not all in: what follows is the library's",
     "POST / HTTP/1.1\r\nContent-Length: 900\r\n\r\nabcd", false, V::Pass},
    {"a line without a colon is the library's to refuse", "GET / HTTP/1.1\r\nno colon\r\n\r\n",
     false, V::Pass},
    {"a line without a colon beside a bad length",
     "POST / HTTP/1.1\r\nContent-Length: !9\nno colon\r\n\r\n", false, V::Refuse},
};

TEST(HttpScreen, FirstHeads) {
    for (const ScreenCase& c : kScreenCases)
        EXPECT_EQ(c.verdict, screen_requests(c.bytes, c.ended, 16 * 1024, 1024).verdict) << c.why;
}

TEST(Http, PipelinedRequestsAreEachAnsweredInOrder) {
    EchoServer server;
    std::string requests;
    for (const char* path : {"/1", "/2?later", "/3", "/4"})
        requests += std::string("GET ") + path + " HTTP/1.1\r\nHost: x\r\n\r\n";
    requests += "GET /5 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    const std::string reply = raw_exchange(server.port(), requests);
    EXPECT_EQ(5u, count(reply, "HTTP/1.1 200"));
    std::size_t at = 0;
    for (const char* body : {"/1 from", "/2 from", "/3 from", "/4 from", "/5 from"}) {
        std::size_t next = reply.find(body, at);
        ASSERT_NE(std::string::npos, next) << body << " missing or out of order:\n" << reply;
        at = next;
    }
}

// A client that sends its requests and closes its side at once hears their
// answers and then the close, not a wait for the deadline; a request not all
// in gets nothing.
TEST(Http, AClientThatClosedItsSideGetsItsAnswersThenTheClose) {
    EchoServer server;
    const int fd = loopback_socket(server.port(), 5);
    const std::string requests =
        "GET /1 HTTP/1.1\r\nHost: x\r\n\r\nGET /2 HTTP/1.1\r\nHost: x\r\n\r\n"
        "POST /3 HTTP/1.1\r\nHost: x\r\nContent-Length: 9\r\n\r\nabc";
    ASSERT_EQ(static_cast<ssize_t>(requests.size()),
              send(fd, requests.data(), requests.size(), MSG_NOSIGNAL));
    shutdown(fd, SHUT_WR);
    std::string reply;
    char buf[4096];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, 0)) > 0)
        reply.append(buf, static_cast<std::size_t>(n));
    close(fd);
    EXPECT_EQ(2u, count(reply, "HTTP/1.1 200")) << reply;
    EXPECT_EQ(std::string::npos, reply.find("/3 from")) << reply;
    // The close, well before the server's 15 s idle timeout: the socket's
    // 5 s receive timeout did not run out.
    EXPECT_EQ(0, n) << "no close: " << std::strerror(errno);
}

// A head refused under /page/ is answered by the refusal page, as the first
// request of a connection (the doorman's) or after another one on it (the
// library's); anywhere else the plain answer stays. Both close.
TEST(Http, ARefusedHeadOfAPageGetsThePage) {
    EchoServer server;
    struct Case {
        const char* why;
        bool after_another;
        std::string head, answer;
    };
    const std::string large = " HTTP/1.1\r\nHost: x\r\nAccept-Language: zh\r\n"
                              "Content-Length: 5000\r\n\r\n";
    const std::string page = "Content-Type: text/html";
    for (const Case& c : {
             Case{"first on its connection", false, "POST /page/form" + large,
                  "page 413 for POST /page/form in zh"},
             Case{"after another request", true, "POST /page/form" + large,
                  "page 413 for POST /page/form in zh"},
             Case{"a long address", true,
                  "GET /page/x?" + std::string(5000, 'q') +
                      " HTTP/1.1\r\nHost: x\r\nAccept-Language: zh\r\n\r\n",
                  "page 414 for GET /page/x in zh"},
             Case{"not a page's, first", false, "POST /api" + large, "request too large"},
             Case{"not a page's, after another", true, "POST /api" + large, "request too large"},
         }) {
        const int fd = loopback_socket(server.port(), 5);
        ASSERT_GE(fd, 0);
        std::string reply;
        char buf[4096];
        ssize_t n = 0;
        if (c.after_another) {
            const std::string get = "GET /first HTTP/1.1\r\nHost: x\r\n\r\n";
            send(fd, get.data(), get.size(), MSG_NOSIGNAL);
            while (reply.find("/first from 127.0.0.1") == std::string::npos &&
                   (n = recv(fd, buf, sizeof buf, 0)) > 0)
                reply.append(buf, static_cast<std::size_t>(n));
            ASSERT_NE(std::string::npos, reply.find("HTTP/1.1 200")) << c.why << ":\n" << reply;
            reply.clear();
        }
        send(fd, c.head.data(), c.head.size(), MSG_NOSIGNAL);
        while ((n = recv(fd, buf, sizeof buf, 0)) > 0)
            reply.append(buf, static_cast<std::size_t>(n));
        close(fd);
        EXPECT_EQ(1u, count(reply, "HTTP/1.1 41")) << c.why << ":\n" << reply;
        EXPECT_NE(std::string::npos, reply.find(c.answer)) << c.why << ":\n" << reply;
        EXPECT_NE(std::string::npos, reply.find("Connection: close")) << c.why;
        EXPECT_EQ(c.answer.rfind("page", 0) == 0, reply.find(page) != std::string::npos) << c.why;
        EXPECT_EQ(0, n) << c.why << ": not closed";
    }
}

TEST(Http, AnAnswerGivenLaterHoldsNoThread) {
    HttpLimits one_thread;
    one_thread.threads = 1;
    EchoServer server(one_thread);
    std::string slow;
    std::thread waiting([&] {
        slow = raw_exchange(server.port(),
                            "GET /slow?later HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // While the first waits for its answer, the only thread serves others.
    const std::string quick =
        raw_exchange(server.port(), "GET /quick HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    waiting.join();
    EXPECT_NE(std::string::npos, quick.find("/quick from 127.0.0.1"));
    EXPECT_NE(std::string::npos, slow.find("/slow from 127.0.0.1"));
}

TEST(Http, ASlowHeadIsCutAtTheDeadline) {
    HttpLimits limits;
    limits.head_deadline_s = 1;
    limits.idle_timeout_s = 30;
    EchoServer server(limits);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(server.port()));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    // One byte every 200 ms never trips an idle timeout; the deadline does.
    const std::string head = "GET /drip HTTP/1.1\r\nHost: x\r\nX-Slow: " + std::string(200, 's');
    bool cut = false;
    for (char c : head) {
        if (send(fd, &c, 1, MSG_NOSIGNAL) != 1) {
            cut = true;
            break;
        }
        char buf[64];
        if (recv(fd, buf, sizeof buf, MSG_DONTWAIT) == 0) {
            cut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    close(fd);
    EXPECT_TRUE(cut) << "a head dripped over 40 s was still being read";
}

// A connection with one request answered on it, left open; -1 if the
// server closed it unanswered.
int answered_connection(int port) {
    int fd = loopback_socket(port);
    const std::string request = "GET /kept HTTP/1.1\r\nHost: x\r\n\r\n";
    std::string reply;
    char buf[512];
    ssize_t n = send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    while (n > 0 && reply.find(" from ") == std::string::npos &&
           (n = recv(fd, buf, sizeof buf, 0)) > 0)
        reply.append(buf, static_cast<std::size_t>(n));
    if (reply.find(" from ") == std::string::npos) {
        close(fd);
        fd = -1;
    }
    return fd;
}

TEST(HttpSources, TheServerKeepsToTheLimitAndGivesPlacesBack) {
    HttpLimits limits;
    limits.connections_per_ip = 2;
    EchoServer server(limits);
    const int first = answered_connection(server.port());
    const int second = answered_connection(server.port());
    ASSERT_TRUE(first >= 0 && second >= 0);
    EXPECT_EQ(-1, answered_connection(server.port())) << "a third from 127.0.0.1";
    // The refused one was never counted: once the server has seen the first
    // go, there is room for exactly one more.
    close(first);
    int next = -1;
    for (int attempt = 0; attempt < 500 && next < 0; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        next = answered_connection(server.port());
    }
    EXPECT_GE(next, 0) << "the first's place never came back";
    EXPECT_EQ(-1, answered_connection(server.port())) << "the limit holds again";
    close(second);
    close(next);
}

struct SourceCase {
    const char* why;
    const char* open; // connections open, from these addresses
    bool first_closed;
    const char* asked;
    bool admitted;
};

const SourceCase kSourceCases[] = {
    {"an IPv4 address at the limit", "192.0.2.1,192.0.2.1", false, "192.0.2.1", false},
    {"its neighbour is another source", "192.0.2.1,192.0.2.1", false, "192.0.2.2", true},
    {"one IPv6 /64 is one source", "2001:db8:1:2::1,2001:db8:1:2:f::2", false, "2001:db8:1:2:a::3",
     false},
    {"the next /64 is another", "2001:db8:1:2::1,2001:db8:1:2::2", false, "2001:db8:1:3::1", true},
    {"a closed connection gives its place back", "2001:db8:1:2::1,2001:db8:1:2::2", true,
     "2001:db8:1:2::3", true},
};

TEST(HttpSources, TwoPerSource) {
    for (const SourceCase& c : kSourceCases) {
        SourceCounts counts(2);
        std::vector<std::string> keys;
        for (const std::string& address : split_list(c.open))
            keys.push_back(counts.add(address));
        if (c.first_closed)
            counts.release(keys.front());
        EXPECT_EQ(c.admitted, counts.admits(c.asked)) << c.why;
    }
}

// An OpenSSL client against an RSA certificate, so static RSA could be had.
struct TlsCase {
    const char* why;
    const char* client; // openssl s_client options
    bool accepted;
};

const TlsCase kTlsCases[] = {
    {"TLS 1.1", "-tls1_1 -cipher DEFAULT:@SECLEVEL=0", false},
    {"static RSA key exchange", "-tls1_2 -cipher AES128-SHA", false},
    {"TLS 1.2 with ECDHE", "-tls1_2 -cipher ECDHE-RSA-AES128-GCM-SHA256", true},
    {"TLS 1.3", "-tls1_3", true},
};

TEST(HttpTls, OnlyTls12AndUpWithForwardSecrecy) {
    test::TempDir dir;
    const std::string cert = dir.file("cert.pem"), key = dir.file("key.pem");
    ASSERT_EQ(0, std::system(("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=localhost"
                              " -keyout " +
                              key + " -out " + cert + " 2>/dev/null")
                                 .c_str()));
    std::stringstream pem[2];
    pem[0] << std::ifstream(cert).rdbuf();
    pem[1] << std::ifstream(key).rdbuf();
    HttpServer http([](const HttpRequest&, HttpServer::Reply reply) { reply({}); }, {},
                    [](const Rejection&) {});
    std::string error;
    ASSERT_TRUE(http.listen({"127.0.0.1", 0, pem[0].str(), pem[1].str()}, &error)) << error;
    for (const TlsCase& c : kTlsCases) {
        const int status = std::system(
            ("timeout 60 openssl s_client -connect 127.0.0.1:" + std::to_string(http.port()) + " " +
             c.client + " </dev/null >/dev/null 2>&1")
                .c_str());
        EXPECT_EQ(c.accepted, WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.why;
    }
    // Browsers are told to keep to HTTPS, by the HTTPS listener alone.
    ASSERT_TRUE(http.listen({"127.0.0.1", 0, "", ""}, &error)) << error;
    for (const auto& [url, hsts] :
         {std::pair{"https://127.0.0.1:" + std::to_string(http.port(0)), true},
          {"http://127.0.0.1:" + std::to_string(http.port(1)), false}}) {
        const std::string head = dir.file("head");
        ASSERT_EQ(0, std::system(("curl -sk -o /dev/null -D " + head + " " + url).c_str())) << url;
        std::stringstream got;
        got << std::ifstream(head).rdbuf();
        EXPECT_EQ(hsts, got.str().find("Strict-Transport-Security: max-age=31536000\r\n") !=
                            std::string::npos)
            << got.str();
    }
}

using Header = TrustedProxies::Header;
constexpr Header kXff = Header::XForwardedFor, kFwd = Header::Forwarded;

struct ProxyCase {
    const char* why;
    Header header; // the one the proxies append to
    std::string peer;
    const char* xff;       // X-Forwarded-For instances, '|' between them
    const char* forwarded; // Forwarded, likewise
    std::string caller;
};

const ProxyCase kProxyCases[] = {
    {"an untrusted peer's header is ignored", kXff, "198.51.100.7", "192.0.2.1", "",
     "198.51.100.7"},
    {"a trusted proxy names the caller", kXff, "10.0.0.2", "192.0.2.1", "", "192.0.2.1"},
    {"the nearest untrusted hop, not a forged first one", kXff, "10.0.0.2",
     "6.6.6.6, 192.0.2.1, 10.0.0.9", "", "192.0.2.1"},
    {"a client's Forwarded is not read by default", kXff, "10.0.0.2", "192.0.2.1", "for=6.6.6.6",
     "192.0.2.1"},
    {"nor its X-Forwarded-For when Forwarded is chosen", kFwd, "10.0.0.2", "6.6.6.6",
     "for=\"[2001:db8::1]:4711\";proto=https", "2001:db8::1"},
    {"Forwarded with several elements", kFwd, "10.0.0.2", "", "for=192.0.2.60, for=192.0.2.61",
     "192.0.2.61"},
    {"a Forwarded element without for= stops the walk", kFwd, "10.0.0.2", "",
     "for=6.6.6.6, proto=https", "10.0.0.2"},
    {"instances are one list, in order", kXff, "10.0.0.2", "6.6.6.6, 192.0.2.1|10.0.0.9", "",
     "192.0.2.1"},
    {"a hop that is no address stops the walk", kXff, "10.0.0.2", "192.0.2.1, bogus", "",
     "10.0.0.2"},
    {"no header from a proxy", kXff, "10.0.0.2", "", "", "10.0.0.2"},
};

TEST(HttpTrustedProxy, Caller) {
    TrustedProxies proxies;
    ASSERT_TRUE(proxies.add("10.0.0.0/8"));
    ASSERT_TRUE(proxies.add("2001:db8:ffff::1"));
    for (const ProxyCase& c : kProxyCases) {
        HttpRequest request;
        request.peer = c.peer;
        for (const std::string& value : split_list(c.xff, '|'))
            request.headers.emplace_back("X-Forwarded-For", value);
        for (const std::string& value : split_list(c.forwarded, '|'))
            request.headers.emplace_back("Forwarded", value);
        proxies.set_header(c.header);
        EXPECT_EQ(c.caller, proxies.caller(request)) << c.why;
    }
    EXPECT_TRUE(proxies.contains("2001:db8:ffff::1"));
    EXPECT_FALSE(proxies.contains("2001:db8:ffff::2"));
    EXPECT_FALSE(proxies.contains("11.0.0.1"));
    for (const char* bad : {"10.0.0.0/33", "10.0.0.0/", "::/129", "host/8", "10.0.0.0/x"})
        EXPECT_FALSE(proxies.add(bad)) << bad;
}

// Whether the client reached the proxy over HTTPS: only a trusted proxy
// says so, in the header of the kind it appends to, in its own (last) entry.
struct ProtoCase {
    const char* why;
    Header header;
    std::string peer;
    const char* proto;     // X-Forwarded-Proto instances, '|' between them
    const char* forwarded; // Forwarded, likewise
    bool https;
};

const ProtoCase kProtoCases[] = {
    {"a trusted proxy says https", kXff, "10.0.0.2", "https", "", true},
    {"in any case", kXff, "10.0.0.2", "HTTPS", "", true},
    {"a trusted proxy says http", kXff, "10.0.0.2", "http", "", false},
    {"an untrusted peer is not believed", kXff, "198.51.100.7", "https", "", false},
    {"the proxy's own entry is the last", kXff, "10.0.0.2", "https, http", "", false},
    {"across instances too", kXff, "10.0.0.2", "http|https", "", true},
    {"no header: plain", kXff, "10.0.0.2", "", "", false},
    {"X-Forwarded-Proto is not read for Forwarded", kFwd, "10.0.0.2", "https", "", false},
    {"Forwarded's proto=", kFwd, "10.0.0.2", "", "for=192.0.2.1;proto=https", true},
    {"quoted", kFwd, "10.0.0.2", "", "for=192.0.2.1;proto=\"https\"", true},
    {"of the last element", kFwd, "10.0.0.2", "", "proto=https, for=192.0.2.1", false},
    {"Forwarded is not read for X-Forwarded-For", kXff, "10.0.0.2", "", "proto=https", false},
};

TEST(HttpTrustedProxy, ForwardedHttps) {
    TrustedProxies proxies;
    ASSERT_TRUE(proxies.add("10.0.0.0/8"));
    for (const ProtoCase& c : kProtoCases) {
        HttpRequest request;
        request.peer = c.peer;
        for (const std::string& value : split_list(c.proto, '|'))
            request.headers.emplace_back("X-Forwarded-Proto", value);
        for (const std::string& value : split_list(c.forwarded, '|'))
            request.headers.emplace_back("Forwarded", value);
        proxies.set_header(c.header);
        EXPECT_EQ(c.https, proxies.forwarded_https(request)) << c.why;
    }
}

} // namespace
} // namespace tovix::server
