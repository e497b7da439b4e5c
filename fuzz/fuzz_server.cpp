/*
 * tovix-server's request path in process: each input is the raw bytes a
 * client sends on one connection, given to the real HTTP layer (the doorman
 * and libmicrohttpd) through a socket pair, served by an UpdateServer over a
 * throw-away SQLite database. The harness writes the input, closes its
 * side, and reads the answer until the server closes.
 *
 * Placeholders in the input are replaced by live credentials, so the
 * fuzzer mutates around requests that get past authentication:
 *   @USER@ @PASSWORD@  the owner account and its password
 *   @AUTH@             "Basic ..." for them
 *   @TOKEN@ @TAUTH@    an update token of the owner's first host, and
 *                      "Basic ..." for host:token
 *   @SESSION@ @CSRF@   the owner's web session and its form token
 *   @ADMIN_SESSION@ @ADMIN_CSRF@   the same for an operator
 * Whatever an input changes (a session signed out, a password or the hosts
 * changed, an account removed, a token revoked) is put back after it.
 *
 * Checked on every answer: it is a sequence of well-formed responses (a
 * status line, header lines, one Content-Length, that many bytes of body;
 * none for HEAD), nothing follows one that says Connection: close, the
 * server closes within a bound, and no secret that no input has carried
 * (password, token, session, the stored hashes) is in it.
 *
 * FUZZ_SERVER_SHOW=1 prints each answer's status lines and first body bytes
 * (to see what a seed reaches).
 */
#include "fuzz_support.h"

#include "http/server.h"
#include "store/store.h"
#include "auth/tokens.h"
#include "server.h"

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sodium.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace tovix::server;

const char* const kZone = "fuzz.example";
const std::vector<std::string> kOwnerHosts = {"home.fuzz.example", "www.home.fuzz.example"};

std::string base64(const std::string& in) {
    std::string out(sodium_base64_ENCODED_LEN(in.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(out.data(), out.size(), reinterpret_cast<const unsigned char*>(in.data()),
                      in.size(), sodium_base64_VARIANT_ORIGINAL);
    out.resize(std::strlen(out.c_str()));
    return out;
}

std::string random_hex(std::size_t bytes) {
    std::vector<unsigned char> raw(bytes);
    randombytes_buf(raw.data(), raw.size());
    std::string out(bytes * 2 + 1, '\0');
    sodium_bin2hex(out.data(), out.size(), raw.data(), raw.size());
    out.pop_back();
    return out;
}

void replace_all(std::string& text, const std::string& what, const std::string& with) {
    for (std::size_t at = text.find(what); at != std::string::npos;
         at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
}

// Everything the server sends on one connection until it closes it.
std::string talk(HttpServer& http, const std::string& input) {
    int fds[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0, "socketpair");
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(40000);
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // As much of the input as the socket takes, and its end, before the
    // server looks: what a client sends at once.
    std::size_t written = 0;
    while (written < input.size()) {
        const ssize_t n = send(fds[0], input.data() + written, input.size() - written,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n <= 0)
            break;
        written += static_cast<std::size_t>(n);
    }
    bool shut = false;
    http.adopt(fds[1], reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
    std::string answer;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    char buf[16384];
    while (true) {
        if (!shut && written == input.size()) {
            shutdown(fds[0], SHUT_WR);
            shut = true;
        }
        pollfd p{fds[0], static_cast<short>(POLLIN | (shut ? 0 : POLLOUT)), 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        FUZZ_CHECK(left.count() > 0,
                   "the server neither answered nor closed within 20 s; so far: " +
                       fuzz::ShowBytes(answer.substr(0, 400)));
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        if (p.revents & POLLOUT) {
            const ssize_t n = send(fds[0], input.data() + written, input.size() - written,
                                   MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                written += static_cast<std::size_t>(n);
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                written = input.size(); // the server has closed: stop writing
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = recv(fds[0], buf, sizeof buf, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                break;
            if (n > 0)
                answer.append(buf, static_cast<std::size_t>(n));
        }
    }
    close(fds[0]);
    return answer;
}

// The methods of the requests the server can read in the input, in order:
// as far as each head and its body (a single plain Content-Length) go.
std::vector<std::string> request_methods(const std::string& input) {
    std::vector<std::string> methods;
    std::size_t pos = 0;
    while (pos < input.size()) {
        while (pos < input.size() && (input[pos] == '\r' || input[pos] == '\n'))
            ++pos;
        std::size_t end = std::string::npos, body = 0, lengths = 0;
        std::string method;
        for (std::size_t at = pos, line = 0;; ++line) {
            const std::size_t lf = input.find('\n', at);
            if (lf == std::string::npos)
                return methods;
            std::string text = input.substr(at, lf - at);
            at = lf + 1;
            if (!text.empty() && text.back() == '\r')
                text.pop_back();
            if (line == 0) {
                method = text.substr(0, text.find(' '));
                continue;
            }
            if (text.empty()) {
                end = at;
                break;
            }
            const std::size_t colon = text.find(':');
            if (colon != std::string::npos && colon == 14 &&
                strncasecmp(text.c_str(), "content-length", 14) == 0) {
                ++lengths;
                std::size_t v = colon + 1;
                while (v < text.size() && (text[v] == ' ' || text[v] == '\t'))
                    ++v;
                const std::string value = text.substr(v);
                if (value.empty() || value.size() > 6 ||
                    value.find_first_not_of("0123456789") != std::string::npos)
                    lengths = 2; // refused: nothing after it is read
                else
                    body = std::stoul(value);
            }
        }
        methods.push_back(method);
        if (lengths > 1)
            return methods;
        pos = end + body;
    }
    return methods;
}

// Checks the answer is a sequence of well-formed responses; returns how
// many there were.
std::size_t check_responses(const std::string& answer, const std::vector<std::string>& methods,
                            const std::string& input) {
    auto fail = [&](const std::string& why, std::size_t at) {
        fuzz::Fail(__FILE__, __LINE__, why.c_str(),
                   "at byte " + std::to_string(at) +
                       " of the answer\nanswer: " + fuzz::ShowBytes(answer.substr(0, 2000)) +
                       "\ninput: " + fuzz::ShowBytes(input.substr(0, 1000)));
    };
    std::size_t pos = 0, responses = 0;
    bool closing = false;
    while (pos < answer.size()) {
        if (closing)
            fail("bytes after an answer that said Connection: close", pos);
        const std::size_t head_end = answer.find("\r\n\r\n", pos);
        if (head_end == std::string::npos)
            fail("an answer without the end of its head", pos);
        const std::string head = answer.substr(pos, head_end + 2 - pos);
        const std::size_t line_end = head.find("\r\n");
        const std::string status = head.substr(0, line_end);
        if (status.size() < 12 || status.compare(0, 9, "HTTP/1.1 ") != 0 ||
            !std::isdigit(static_cast<unsigned char>(status[9])) || status[9] < '1' ||
            status[9] > '5' || !std::isdigit(static_cast<unsigned char>(status[10])) ||
            !std::isdigit(static_cast<unsigned char>(status[11])) ||
            (status.size() > 12 && status[12] != ' '))
            fail("not a status line: " + fuzz::ShowBytes(status), pos);
        const bool interim = status[9] == '1';
        long length = -1;
        int lengths = 0;
        for (std::size_t at = line_end + 2; at < head.size();) {
            const std::size_t next = head.find("\r\n", at);
            const std::string line = head.substr(at, next - at);
            at = next + 2;
            const std::size_t colon = line.find(':');
            if (colon == std::string::npos || colon == 0 || line.find_first_of(" \t") < colon ||
                line.find_first_of("\r\n") != std::string::npos)
                fail("a malformed header line in an answer: " + fuzz::ShowBytes(line), pos);
            const std::string name = line.substr(0, colon);
            const std::string value =
                line.substr(colon + 1 + (line.size() > colon + 1 && line[colon + 1] == ' '));
            if (strcasecmp(name.c_str(), "Content-Length") == 0) {
                ++lengths;
                length = std::strtol(value.c_str(), nullptr, 10);
            }
            if (strcasecmp(name.c_str(), "Connection") == 0 &&
                strcasecmp(value.c_str(), "close") == 0)
                closing = true;
        }
        pos = head_end + 4;
        if (interim)
            continue;
        if (lengths != 1 || length < 0)
            fail("an answer without exactly one Content-Length", pos);
        const bool head_request = responses < methods.size() && methods[responses] == "HEAD";
        // A HEAD answer has no body, unless the library answered it before
        // it read the method.
        const bool bodiless =
            head_request && (pos == answer.size() || answer.compare(pos, 9, "HTTP/1.1 ") == 0);
        if (!bodiless) {
            if (answer.size() - pos < static_cast<std::size_t>(length))
                fail("an answer shorter than its Content-Length", pos);
            pos += static_cast<std::size_t>(length);
        }
        ++responses;
    }
    return responses;
}

class Harness {
  public:
    Harness() {
        FUZZ_CHECK(sodium_init() >= 0, "sodium_init");
        const std::filesystem::path base = std::filesystem::exists("/dev/shm")
                                               ? "/dev/shm"
                                               : std::filesystem::temp_directory_path();
        // A run that crashed left its directory: those of processes gone go.
        const std::string prefix = "tovix-fuzz-server-";
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(base, ignored)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(prefix, 0) != 0)
                continue;
            const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
            if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
                std::filesystem::remove_all(entry.path(), ignored);
        }
        std::string pattern = (base / (prefix + std::to_string(getpid()) + "-XXXXXX")).string();
        FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
        dir_ = pattern;
        db_ = (std::filesystem::path(dir_) / "fuzz.db").string();

        password_ = random_hex(16);
        admin_password_ = random_hex(16);
        Config config;
        config.accounts = {{"alice", password_, kOwnerHosts}, {"root", admin_password_, {}}};
        config.default_account = false;
        config.loopback_only = true;
        config.db_path = db_;
        config.zones = {kZone};
        config.log_to_stderr = false;
        config.throttled_delay_ms = 0;
        config.accounts_refresh = std::chrono::milliseconds(10);
        config.history = 10;
        config.limits.threads = 2;
        // A connection the library keeps waiting (a request not all in)
        // ends in two seconds, well within libFuzzer's timeout.
        config.limits.idle_timeout_s = 2;
        config.limits.head_deadline_s = 2;
        server_ = std::make_unique<UpdateServer>(config);
        http_ = std::make_unique<HttpServer>(
            [this](const HttpRequest& request, HttpServer::Reply reply) {
                server_->handle(request, std::move(reply));
            },
            config.limits, [](const Rejection&) {});
        std::string error;
        FUZZ_CHECK(http_->listen({"127.0.0.1", 0, "", ""}, &error), error);

        store_ = std::make_unique<Store>(db_, Store::Mode::Existing,
                                         StoreOptions{{kZone}, kDefaultTtl, {}, 10});
        owner_hash_ = store_->account("alice")->password_hash;
        admin_hash_ = store_->account("root")->password_hash;
        token_ = make_token();
        token_digest_ = token_digest(token_);
        session_ = random_hex(32);
        admin_session_ = random_hex(32);
        repair();
        wait_for_token();
        // The owner's password through Argon2id once: the answers after it
        // come from the verified credentials.
        talk(*http_, "GET /nic/update?hostname=home.fuzz.example&myip=192.0.2.1 HTTP/1.1\r\n"
                     "Host: x\r\nUser-Agent: fuzz\r\nAuthorization: Basic " +
                         base64("alice:" + password_) + "\r\n\r\n");
        csrf_ = csrf_of(session_);
        admin_csrf_ = csrf_of(admin_session_);
        FUZZ_CHECK(!csrf_.empty() && !admin_csrf_.empty(), "no CSRF token on the password page");
    }

    ~Harness() {
        http_.reset();
        server_.reset();
        store_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    void run(const std::string& raw) {
        std::string input = raw;
        replace_all(input, "@AUTH@", "Basic " + base64("alice:" + password_));
        replace_all(input, "@TAUTH@", "Basic " + base64(kOwnerHosts[0] + ":" + token_));
        replace_all(input, "@USER@", "alice");
        replace_all(input, "@PASSWORD@", password_);
        replace_all(input, "@TOKEN@", token_);
        replace_all(input, "@ADMIN_SESSION@", admin_session_);
        replace_all(input, "@ADMIN_CSRF@", admin_csrf_);
        replace_all(input, "@SESSION@", session_);
        replace_all(input, "@CSRF@", csrf_);

        const std::string answer = talk(*http_, input);
        if (show_)
            show(answer);
        check_responses(answer, request_methods(input), input);
        // A secret an input carried may have been stored (as a label, an
        // MX name) and be shown back later: from then on it is not checked.
        for (const std::string* secret :
             {&password_, &admin_password_, &token_, &owner_hash_, &admin_hash_, &token_digest_,
              &session_, &admin_session_}) {
            if (input.find(*secret) != std::string::npos)
                carried_.insert(secret);
            else if (!carried_.count(secret) && answer.find(*secret) != std::string::npos)
                fuzz::Fail(__FILE__, __LINE__, "a secret no input carried is in the answer",
                           "input: " + fuzz::ShowBytes(input.substr(0, 1000)) +
                               "\nanswer: " + fuzz::ShowBytes(answer.substr(0, 2000)));
        }
        if (input.find("POST") != std::string::npos)
            repair();
    }

  private:
    static void show(const std::string& answer) {
        for (std::size_t at = answer.find("HTTP/1.1 "); at != std::string::npos;
             at = answer.find("HTTP/1.1 ", at + 1)) {
            const std::size_t body = answer.find("\r\n\r\n", at);
            std::fprintf(
                stderr, "  %s | %s\n", answer.substr(at, answer.find('\r', at) - at).c_str(),
                body == std::string::npos ? ""
                                          : fuzz::ShowBytes(answer.substr(body + 4, 60)).c_str());
        }
    }

    // The accounts, sessions and token as set up, whatever an input did.
    void repair() {
        const std::int64_t now = std::time(nullptr);
        struct Want {
            const char* name;
            const std::string& hash;
            std::vector<std::string> hosts;
            bool admin;
            const std::string& session;
        };
        for (const Want& w : {Want{"alice", owner_hash_, kOwnerHosts, false, session_},
                              Want{"root", admin_hash_, {}, true, admin_session_}}) {
            const std::optional<AccountRecord> a = store_->account(w.name);
            if (!a)
                store_->add_account({w.name, w.hash, w.hosts, w.admin});
            else {
                if (a->password_hash != w.hash)
                    store_->set_password(w.name, w.hash);
                if (a->hosts != w.hosts)
                    store_->set_hosts(w.name, w.hosts);
                if (a->admin != w.admin)
                    store_->set_admin(w.name, w.admin);
            }
            if (!store_->session(token_digest(w.session), now))
                store_->add_session(token_digest(w.session), w.name, now);
        }
        if (!store_->token(token_digest(token_)))
            store_->add_token(kOwnerHosts[0], token_digest(token_), "fuzz", now);
        // Accounts and tokens the inputs made are let go of now and then.
        if (++repairs_ % 64 == 0) {
            // The inputs make few accounts: a page holds them all.
            for (const AccountRecord& a : store_->accounts_page({})) {
                if (a.name != "alice" && a.name != "root")
                    store_->remove_account(a.name);
            }
            for (const std::string& host : kOwnerHosts) {
                for (const TokenRecord& t : store_->tokens(host)) {
                    if (t.digest != token_digest(token_))
                        store_->remove_token(host, t.id);
                }
            }
        }
    }

    // The server reads the token with the accounts, every 10 ms.
    void wait_for_token() {
        const std::string auth = "Basic " + base64(kOwnerHosts[0] + ":" + token_);
        for (int i = 0; i < 500; ++i) {
            const std::string answer =
                talk(*http_, "GET /nic/update?myip=192.0.2.2 HTTP/1.1\r\nHost: x\r\n"
                             "User-Agent: fuzz\r\nAuthorization: " +
                                 auth + "\r\n\r\n");
            if (answer.find("\r\n\r\ngood") != std::string::npos ||
                answer.find("\r\n\r\nnochg") != std::string::npos)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        fuzz::Fail(__FILE__, __LINE__, "the token never worked", "");
    }

    // The form token of a session, as its pages carry it.
    std::string csrf_of(const std::string& session) {
        const std::string page =
            talk(*http_, "GET /password HTTP/1.1\r\nHost: x\r\nCookie: tovix_session=" + session +
                             "\r\n\r\n");
        const std::string mark = "name=\"csrf\" value=\"";
        const std::size_t at = page.find(mark);
        if (at == std::string::npos)
            return {};
        return page.substr(at + mark.size(), page.find('"', at + mark.size()) - at - mark.size());
    }

    std::string dir_, db_;
    std::string password_, admin_password_, owner_hash_, admin_hash_;
    std::string token_, token_digest_, session_, admin_session_, csrf_, admin_csrf_;
    std::set<const std::string*> carried_; // secrets some input has carried
    std::unique_ptr<UpdateServer> server_;
    std::unique_ptr<HttpServer> http_;
    std::unique_ptr<Store> store_;
    unsigned repairs_ = 0;
    const bool show_ = std::getenv("FUZZ_SERVER_SHOW") != nullptr;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Made once; stopped, and its database removed, when the process exits.
    static Harness* harness = [] {
        auto* h = new Harness;
        std::atexit([] { delete harness; });
        return h;
    }();
    harness->run(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
