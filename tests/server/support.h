// Helpers shared by the tovix-server tests: a scratch directory, a server on a
// free loopback port, and a raw socket exchange for requests httplib::Client
// will not send.
#pragma once

#include "server.h"
#include "store/database.h"
#include "store/store.h"

#include <httplib.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <algorithm>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

namespace tovix::server::test {

// A server answering a vanished client must not kill the test binary.
inline const bool kSigpipeIgnored = [] {
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}();

// The PostgreSQL database the tests may use (TOVIX_TEST_POSTGRES, a URI
// whose user owns the database), or nothing.
inline std::string postgres_uri() {
    const char* uri = std::getenv("TOVIX_TEST_POSTGRES");
    return uri ? uri : "";
}

// That database, emptied: every table of earlier tests goes.
inline std::string fresh_postgres() {
    open_postgres(postgres_uri())->exec("DROP SCHEMA public CASCADE; CREATE SCHEMA public");
    return postgres_uri();
}

// A connection of the test's own to the store's database (an SQLite file
// or a PostgreSQL URI), as PowerDNS or another process has one.
inline std::unique_ptr<Database> connection(const std::string& where) {
    return is_postgres_uri(where) ? open_postgres(where) : open_sqlite(where, false);
}

// The hosts row of `name`, if there is one.
inline std::optional<Host> stored_host(const std::string& where, const std::string& name) {
    const SqlRows r = connection(where)->query("SELECT * FROM hosts WHERE name = ?1", {name});
    auto flag = [&](std::size_t column) { return r.integer(0, column) != 0; };
    return r.empty()
               ? std::nullopt
               : std::optional<Host>({name, r.text(0, 1), r.text(0, 2), r.text(0, 3), r.text(0, 4),
                                      flag(5), r.text(0, 6), flag(7), flag(8), r.integer(0, 9)});
}

// What PowerDNS finds in its records table under `name` (any type), sorted.
inline std::vector<DnsRecord> dns_records(const std::string& where, const std::string& name) {
    const SqlRows r = connection(where)->query(
        "SELECT name, type, content, ttl, prio FROM records WHERE name = ?1", {name});
    std::vector<DnsRecord> out;
    for (std::size_t i = 0; i < r.rows.size(); ++i)
        out.push_back({r.text(i, 0), r.text(i, 1), r.text(i, 2), static_cast<int>(r.integer(i, 3)),
                       static_cast<int>(r.integer(i, 4))});
    std::sort(out.begin(), out.end());
    return out;
}

inline std::optional<std::uint32_t> zone_serial(const std::string& where, const std::string& zone) {
    const SqlRows r = connection(where)->query(
        "SELECT content FROM records WHERE name = ?1 AND type = 'SOA'", {zone});
    return r.empty() ? std::nullopt : soa_serial(r.text(0, 0));
}

class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tovix-server-XXXXXX");
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

inline std::string base64(const std::string& in) {
    static const char* const digits =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < in.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size())
            v |= static_cast<unsigned char>(in[i + 1]) << 8;
        if (i + 2 < in.size())
            v |= static_cast<unsigned char>(in[i + 2]);
        out += digits[(v >> 18) & 63];
        out += digits[(v >> 12) & 63];
        out += i + 1 < in.size() ? digits[(v >> 6) & 63] : '=';
        out += i + 2 < in.size() ? digits[v & 63] : '=';
    }
    return out;
}

inline std::string basic(const std::string& user, const std::string& password) {
    return "Basic " + base64(user + ":" + password);
}

// alice owns two hosts, bob one.
inline std::vector<SeedAccount> test_accounts() {
    return {{"alice", "s3cret:pw", {"home.example", "www.home.example"}},
            {"bob", "hunter2", {"bob.example"}}};
}

// The `changed` flag of each update Store::apply made.
inline std::vector<bool> changed(const std::vector<Applied>& applied) {
    std::vector<bool> out;
    for (const Applied& a : applied)
        out.push_back(a.changed);
    return out;
}

// Gives a new account the hosts: a store updates only a host its account owns.
inline void own(Store& store, const std::string& account, std::vector<std::string> hosts) {
    std::sort(hosts.begin(), hosts.end());
    if (!store.add_account({account, "$argon2id$x", hosts}))
        throw std::runtime_error("account " + account + " exists");
}

// The request log of a server, as its sink hears it: every entry, oldest
// first; a request's entry is here before its answer is sent.
class KeptLog {
  public:
    RequestLog::Sink sink() {
        return [this](const RequestEntry& entry) {
            std::lock_guard<std::mutex> lock(mutex_);
            entries_.push_back(entry);
        };
    }
    std::vector<RequestEntry> entries() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return entries_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<RequestEntry> entries_;
};

// A server on loopback, as the tests run it: it publishes the caller's
// loopback address, and tells `log`, if any, its requests.
inline std::unique_ptr<UpdateServer> start_server(Config config, KeptLog* log = nullptr) {
    config.log_to_stderr = false;
    config.loopback_only = true;
    auto server =
        std::make_unique<UpdateServer>(std::move(config), log ? log->sink() : RequestLog::Sink{});
    std::string error;
    if (!server->listen({"127.0.0.1", 0, "", ""}, &error))
        throw std::runtime_error("listen: " + error);
    return server;
}

// A TCP connection to `port` on 127.0.0.1 whose reads give up after
// `timeout_s` seconds; -1 if it could not be made.
inline int loopback_socket(int port, int timeout_s = 2) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval timeout{timeout_s, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
        return fd;
    close(fd);
    return -1;
}

// Sends `request` as is and returns everything received until the server
// closes the connection (or two seconds pass); *closed tells which.
inline std::string raw_exchange(int port, const std::string& request, bool* closed = nullptr) {
    const int fd = loopback_socket(port);
    std::string reply;
    ssize_t n = -1;
    if (fd >= 0 && send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
                       static_cast<ssize_t>(request.size())) {
        char buf[4096];
        while ((n = recv(fd, buf, sizeof buf, 0)) > 0)
            reply.append(buf, static_cast<std::size_t>(n));
    }
    // A reset is the server's close too, with some of the request unread.
    const bool ended = n == 0 || (n < 0 && errno == ECONNRESET);
    if (fd >= 0)
        close(fd);
    if (closed)
        *closed = ended;
    return reply;
}

} // namespace tovix::server::test
