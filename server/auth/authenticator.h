// Authentication, in one place for every way into the server: the guessing
// guard, the credentials already verified, the Argon2id checks in flight,
// the dummy hash that makes an unknown name cost what a known one does, and
// what was looked up of the accounts and tokens a request named (bounded
// caches, auth/account_cache.h). Nothing here reads every account: a
// request's account or token is looked up by its name or digest, and a
// change made anywhere forgets only what the change log says it touched.
//
// Each request gets one verdict. Good comes with the account (and the
// token) it was found good for; whoever answers the request keeps them
// until the answer is written, however the accounts change meanwhile.
#pragma once

#include "auth/account_cache.h"
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

struct Verdict {
    enum class Outcome {
        Good,      // the password (or the host's token) is right
        Bad,       // it was checked, and is wrong (or the name unknown)
        Busy,      // the checks are backed up (or the database failed): not checked
        Throttled, // past the guard's limit: not checked
    };
    Outcome outcome = Outcome::Bad;
    // Good: the account; a token's is its host's owner, listing that host.
    AccountPtr account;
    int retry_after = 0;                      // Busy, Throttled: seconds
    std::shared_ptr<const TokenRecord> token; // Good by a token
};

class Authenticator {
  public:
    using Done = std::function<void(Verdict)>;

    // Counts the accounts and hosts (throws StoreError), then reads the
    // change log every `refresh`, or at once when changed() says so, on a
    // thread of its own: no request ever waits for that.
    Authenticator(Store& store, Workers& workers, LoginGuard::Policy policy,
                  std::chrono::milliseconds refresh = std::chrono::milliseconds(100));
    ~Authenticator();
    Authenticator(const Authenticator&) = delete;
    Authenticator& operator=(const Authenticator&) = delete;

    // Calls `done` once: at once on this thread (a credential verified
    // before, a token known, or a refusal), or later on a worker thread
    // (after Argon2id, or a lookup in the database). The user name of a
    // token is its host's name.
    void check(const std::string& source, const Credentials& credentials, Done done);

    // The web page's sessions, kept in the database so that every server on
    // it knows them. Each reads or writes the database (throws StoreError):
    // call them on a worker thread. session() gives the account a live
    // session id names, and marks it used; start_session() the id of a new
    // session (nothing when the account is gone); end_session() ends one.
    std::optional<AccountRecord> session(const std::string& id);
    std::optional<std::string> start_session(const std::string& account);
    void end_session(const std::string& id);

    // Whether an account owns `host`, as far as what was looked up tells
    // (false: not known here).
    bool known_owner(const std::string& host) const;
    // The accounts, and the hosts they own: counted at the start, carried
    // on by the change log.
    std::int64_t accounts() const { return accounts_; }
    std::int64_t hosts() const { return hosts_; }
    // Reads the change log now: after a change this process made itself.
    // Throws StoreError.
    void refresh();
    // The change log has news (another server said so): read it soon.
    void changed();

  private:
    void watch();
    void forget(const AccountChange& change);
    void recount();
    Verdict good(const TokenPtr& token) const;
    void reread(const std::string& source, const Credentials& credentials, const std::string& hash,
                Done done);
    void throttled(const std::string& source, const std::string& user, const Done& done);
    void look_up_token(const std::string& source, const Credentials& credentials, Done done);
    void check_password(const std::string& source, const Credentials& credentials,
                        const AccountPtr& account, Done done);
    void verify(const std::string& source, const Credentials& credentials, AccountPtr account,
                const std::string& key);
    AccountPtr load_account(const std::string& name); // throws StoreError
    TokenPtr load_token(const std::string& digest);   // throws StoreError
    void finish(const std::string& key, const Verdict& verdict);

    Store& store_;
    Workers& workers_;
    LoginGuard guard_;
    VerifiedCredentials verified_;
    AccountCache cache_;
    const std::string unknown_user_hash_;

    std::mutex checks_mutex_; // Argon2id checks running, by credential digest
    std::map<std::string, std::vector<Done>> checks_;

    std::mutex read_mutex_; // one reader of the change log at a time
    std::int64_t seq_ = 0;  // the last change read
    std::atomic<std::int64_t> accounts_{0}, hosts_{0};

    std::chrono::milliseconds refresh_;
    std::mutex stop_mutex_;
    std::condition_variable stop_changed_;
    bool stopping_ = false;
    bool news_ = false;
    std::thread watcher_;
};

} // namespace tovix::server
