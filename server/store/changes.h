// What servers sharing a PostgreSQL database tell each other of their
// changes, so that each purges its own PowerDNS of what any of them
// changed, and reads the accounts' change log at once: a committing
// transaction NOTIFYs a channel with the names it changed, and an account
// change with its sequence number (Store::announce_changes; PostgreSQL
// delivers it on commit, and never for a rollback), and every server
// LISTENs on that channel on a connection of its own (ChangeListener).
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace tovix::server {

inline constexpr const char* kChangesChannel = "tovix_dns_changes";
// Among a payload's names, "@SEQ" tells of account change number SEQ.
inline constexpr const char* kAccountsNews = "@";

// A random tag for one Store: its own notifications are no news to it.
std::string new_origin();

// The payloads that carry `names` (purge arguments, without blanks):
// "ORIGIN NAME NAME...", each under PostgreSQL's limit of 8000 bytes.
std::vector<std::string> change_payloads(const std::string& origin,
                                         const std::vector<std::string>& names);
// The origin and the names of one payload; false for anything else.
bool parse_change_payload(const std::string& payload, std::string* origin,
                          std::vector<std::string>* names);

struct ListenPolicy {
    std::chrono::milliseconds connect_timeout{10000}; // of connecting and LISTEN
    std::chrono::milliseconds first_retry{200};
    std::chrono::milliseconds last_retry{10000}; // the pause doubles up to this
};

// A thread holding a connection of its own that LISTENs on kChangesChannel
// and hands every other origin's names to `names`, and calls `accounts`
// when one tells of an account change. A connection that fails or is lost
// is logged once for the streak and once when it works again, and opened
// again after growing pauses. What changed before a connection was
// listening (while this server was down, or the connection lost) is
// unknown, so each new connection first hands `names` the names of
// `resync` (each served zone with every name in it), and calls `accounts`,
// whose reader then reads the change log from where it was.
class ChangeListener {
  public:
    using Names = std::function<void(const std::vector<std::string>& names)>;
    using News = std::function<void()>;
    using Log = std::function<void(const std::string& line)>;

    ChangeListener(std::string uri, std::string own_origin, std::vector<std::string> resync,
                   Names names, News accounts, Log log, ListenPolicy policy = {});
    ~ChangeListener(); // stops at once, whatever the connection is doing
    ChangeListener(const ChangeListener&) = delete;
    ChangeListener& operator=(const ChangeListener&) = delete;

  private:
    struct Conn;
    void run();
    bool open(Conn& conn, std::string* why);
    std::string serve(Conn& conn); // until lost (why) or stopped ("")
    bool wait(int fd, bool write, std::chrono::steady_clock::time_point until, std::string* why);
    bool pause(std::chrono::milliseconds how_long);

    const std::string uri_, origin_;
    const std::vector<std::string> resync_;
    const Names names_;
    const News accounts_;
    const Log log_;
    const ListenPolicy policy_;
    int stop_fd_ = -1; // an eventfd, written once to stop
    std::thread thread_;
};

} // namespace tovix::server
