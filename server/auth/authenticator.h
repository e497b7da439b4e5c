// Authentication, in one place for every way into the server: the guessing
// guard, the credentials already verified, the Argon2id checks in flight,
// the dummy hash that makes an unknown name cost what a known one does, and
// the accounts as last read from the database.
//
// Each request gets one verdict. Good comes with the accounts snapshot the
// account was found in; whoever answers the request keeps that snapshot
// until the answer is written, however the accounts change meanwhile.
#pragma once

#include "auth/credentials.h"
#include "auth/guard.h"
#include "auth/passwords.h"
#include "base/workers.h"
#include "store/store.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tovix::server {

// The accounts as read at one moment.
struct AccountsSnapshot {
    std::map<std::string, AccountRecord> by_name;
    std::map<std::string, std::string> owners; // host -> account name
    std::map<std::string, TokenRecord> tokens; // by digest

    const AccountRecord* find(const std::string& name) const;
    // The token of `host` with that digest, if any.
    const TokenRecord* token(const std::string& host, const std::string& digest) const;
};
using AccountsPtr = std::shared_ptr<const AccountsSnapshot>;

struct Verdict {
    enum class Outcome {
        Good,      // the password (or the host's token) is right
        Bad,       // it was checked, and is wrong (or the name unknown)
        Busy,      // the checks are backed up: not checked
        Throttled, // past the guard's limit: not checked
    };
    Outcome outcome = Outcome::Bad;
    AccountsPtr accounts;                   // Good: what the account was found in
    const AccountRecord* account = nullptr; // Good: inside *accounts (a token's: the owner)
    int retry_after = 0;                    // Busy, Throttled: seconds
    const TokenRecord* token = nullptr;     // Good by a token: inside *accounts
};

class Authenticator {
  public:
    using Done = std::function<void(Verdict)>;

    // Reads the accounts now (throws StoreError), and again whenever the
    // database's accounts version moves, looked at every `refresh` on a thread
    // of its own: no request ever waits for that.
    Authenticator(Store& store, Workers& workers, LoginGuard::Policy policy,
                  std::chrono::milliseconds refresh = std::chrono::milliseconds(200));
    ~Authenticator();
    Authenticator(const Authenticator&) = delete;
    Authenticator& operator=(const Authenticator&) = delete;

    // Calls `done` once: at once on this thread (a credential verified
    // before, a token known, or a refusal), or later on a worker thread
    // (after Argon2id, or a token looked up in the database). The user
    // name of a token is its host's name.
    void check(const std::string& source, const Credentials& credentials, Done done);

    // The web page's sessions, kept in the database so that every server on
    // it knows them. Each reads or writes the database (throws StoreError):
    // call them on a worker thread. session() gives the account a live
    // session id names, and marks it used; start_session() the id of a new
    // session (nothing when the account is gone); end_session() ends one.
    std::optional<AccountRecord> session(const std::string& id);
    std::optional<std::string> start_session(const std::string& account);
    void end_session(const std::string& id);

    AccountsPtr accounts() const;
    // Those of `hosts` that an account owns, in order.
    std::vector<std::string> owned(std::vector<std::string> hosts) const;
    // Reads the accounts and tokens again now: after a change this process
    // made itself, which SQLite's data_version does not count. Throws
    // StoreError.
    void refresh() { reload(true); }

  private:
    void refresher();
    AccountsPtr reload(bool force = false); // throws StoreError
    Verdict by_token(const AccountsPtr& accounts, const std::string& user,
                     const std::string& password) const;
    bool verify_token(const Credentials& credentials, AccountsPtr* accounts);
    void verify(const std::string& source, const Credentials& credentials, AccountsPtr accounts,
                const std::string& key);
    void finish(const std::string& key, const Verdict& verdict);

    Store& store_;
    Workers& workers_;
    LoginGuard guard_;
    VerifiedCredentials verified_;
    const std::string unknown_user_hash_;

    std::mutex checks_mutex_; // Argon2id checks running, by credential digest
    std::map<std::string, std::vector<Done>> checks_;

    mutable std::mutex accounts_mutex_;
    AccountsPtr accounts_;
    std::int64_t version_ = 0;
    std::mutex reload_mutex_; // one reload at a time

    std::chrono::milliseconds refresh_;
    std::mutex stop_mutex_;
    std::condition_variable stop_changed_;
    bool stopping_ = false;
    std::thread refresher_;
};

} // namespace tovix::server
