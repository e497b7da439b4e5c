// The Authenticator. Order of a check:
//
//   1. a credential that has passed Argon2id before (its keyed digest is
//      remembered) is good at once, before the guard is asked: a good client
//      behind the same address as a guesser keeps working;
//   2. past the guard's limit the request is throttled, never checked;
//   3. a check of the same credential already running is joined;
//   A token of the host named as the user is good at once too, from the
//   tokens read with the accounts;
//   4. otherwise Argon2id runs on a worker thread, against the account's
//      hash or, for an unknown name, a dummy one. A failure reads that one
//      account from the database again before it is final: an account
//      added or a password changed a moment ago (by another process, or
//      on another node) is not refused for the snapshot being behind. A
//      name no account has, with a password shaped like a token, is looked
//      up among the tokens in the database instead: a token made a moment
//      ago on another node works at once.
#include "auth/authenticator.h"

#include "auth/sessions.h"
#include "auth/tokens.h"
#include "base/metrics.h"
#include "base/strings.h"
#include "base/threads.h"
#include "dns/names.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace tovix::server {

const AccountRecord* AccountsSnapshot::find(const std::string& name) const {
    auto found = by_name.find(name);
    return found == by_name.end() ? nullptr : &found->second;
}

const TokenRecord* AccountsSnapshot::token(const std::string& host,
                                           const std::string& digest) const {
    auto found = tokens.find(digest);
    return found == tokens.end() || found->second.host != host ? nullptr : &found->second;
}

Authenticator::Authenticator(Store& store, Workers& workers, LoginGuard::Policy policy,
                             std::chrono::milliseconds refresh)
    : store_(store), workers_(workers), guard_(policy),
      unknown_user_hash_(hash_password("no such account")), refresh_(refresh) {
    reload();
    refresher_ = std::thread([this] { refresher(); });
}

Authenticator::~Authenticator() {
    stop_thread(stop_mutex_, stopping_, stop_changed_, refresher_);
}

AccountsPtr Authenticator::accounts() const {
    std::lock_guard<std::mutex> lock(accounts_mutex_);
    return accounts_;
}

std::vector<std::string> Authenticator::owned(std::vector<std::string> hosts) const {
    const AccountsPtr snapshot = accounts();
    hosts.erase(std::remove_if(hosts.begin(), hosts.end(),
                               [&](const std::string& h) { return !snapshot->owners.count(h); }),
                hosts.end());
    return hosts;
}

// Reads every account, when the accounts version has moved since the last read
// (or `version_` is unknown); returns the snapshot in force after it.
AccountsPtr Authenticator::reload(bool force) {
    std::lock_guard<std::mutex> one_at_a_time(reload_mutex_);
    const std::int64_t version = store_.accounts_version();
    {
        std::lock_guard<std::mutex> lock(accounts_mutex_);
        if (accounts_ && version == version_ && !force)
            return accounts_;
    }
    auto fresh = std::make_shared<AccountsSnapshot>();
    for (AccountRecord& a : store_.accounts()) {
        for (const std::string& host : a.hosts)
            fresh->owners[host] = a.name;
        fresh->by_name[a.name] = std::move(a);
    }
    for (TokenRecord& t : store_.all_tokens())
        fresh->tokens[t.digest] = std::move(t);
    metrics().accounts = static_cast<std::int64_t>(fresh->by_name.size());
    metrics().hosts = static_cast<std::int64_t>(fresh->owners.size());
    std::lock_guard<std::mutex> lock(accounts_mutex_);
    accounts_ = std::move(fresh);
    version_ = version;
    return accounts_;
}

void Authenticator::refresher() {
    std::unique_lock<std::mutex> lock(stop_mutex_);
    while (!stop_changed_.wait_for(lock, refresh_, [this] { return stopping_; })) {
        lock.unlock();
        try {
            reload();
        } catch (const StoreError& e) {
            // Keep answering from what was read; the next look may work.
            std::fprintf(stderr, "tovix-server: reading the accounts: %s\n", e.what());
        }
        lock.lock();
    }
}

// Good when the password is a token of the host the user name names (and an
// account owns the host); Bad otherwise.
Verdict Authenticator::by_token(const AccountsPtr& accounts, const std::string& user,
                                const std::string& password) const {
    if (!is_token_form(password))
        return {};
    const std::string host = normalize_host(user);
    const TokenRecord* token = accounts->token(host, token_digest(password));
    auto owner = accounts->owners.find(host);
    if (!token || owner == accounts->owners.end())
        return {};
    return {Verdict::Outcome::Good, accounts, accounts->find(owner->second), 0, token};
}

void Authenticator::check(const std::string& source, const Credentials& credentials, Done done) {
    const std::string& user = credentials.user;
    AccountsPtr accounts = this->accounts();
    if (Verdict v = by_token(accounts, user, credentials.password);
        v.outcome == Verdict::Outcome::Good && v.account)
        return done(v);
    const AccountRecord* account = accounts->find(user);
    const std::string& hash = account ? account->password_hash : unknown_user_hash_;
    if (account && verified_.known(user, credentials.password, hash)) {
        metrics().password_cache_hits.fetch_add(1, std::memory_order_relaxed);
        return done({Verdict::Outcome::Good, accounts, account, 0});
    }

    const auto now = LoginGuard::Clock::now();
    auto throttled = [&] {
        const double seconds =
            std::chrono::duration<double>(guard_.wait(source, user, now)).count();
        metrics().throttled(guard_.source_waits(source, now) ? Metrics::kBySource
                                                             : Metrics::kByAccount);
        done({Verdict::Outcome::Throttled, nullptr, nullptr,
              std::max(1, static_cast<int>(std::ceil(seconds)))});
    };
    if (guard_.wait(source, user, now) > LoginGuard::Clock::duration::zero())
        return throttled();
    // One Argon2id check for the same credentials at a time: a client that
    // opens many connections at once waits for the first check instead of
    // spending its source's allowance (and the CPU) on each.
    const std::string key = verified_.digest(user, credentials.password, hash);
    {
        std::lock_guard<std::mutex> lock(checks_mutex_);
        auto running = checks_.find(key);
        if (running != checks_.end()) {
            running->second.push_back(std::move(done));
            return;
        }
    }
    if (!guard_.try_check(source, user, now))
        return throttled();
    {
        std::lock_guard<std::mutex> lock(checks_mutex_);
        checks_[key].push_back(std::move(done));
    }
    const bool queued = workers_.run(
        [this, source, credentials, accounts, key] { verify(source, credentials, accounts, key); });
    if (!queued) {
        metrics().throttled(Metrics::kChecksFull);
        finish(key, {Verdict::Outcome::Busy, nullptr, nullptr, 1});
    }
}

// On a worker thread: Argon2id, and on failure the account read again.
void Authenticator::verify(const std::string& source, const Credentials& credentials,
                           AccountsPtr accounts, const std::string& key) {
    const std::string& user = credentials.user;
    const AccountRecord* account = accounts->find(user);
    if (!account && is_token_form(credentials.password)) {
        // Costs what an account's check costs, so that timing does not tell
        // account names from host names.
        verify_password(unknown_user_hash_, credentials.password);
        if (verify_token(credentials, &accounts)) {
            guard_.succeeded(source, user, LoginGuard::Clock::now());
            Verdict v = by_token(accounts, user, credentials.password);
            if (v.account)
                return finish(key, v);
        }
        return finish(key, {Verdict::Outcome::Bad, nullptr, nullptr, 0});
    }
    metrics().password_checks.fetch_add(1, std::memory_order_relaxed);
    bool good = verify_password(account ? account->password_hash : unknown_user_hash_,
                                credentials.password) &&
                account;
    if (!good) {
        try {
            const std::optional<AccountRecord> stored = store_.account(user);
            if (stored && (!account || stored->password_hash != account->password_hash) &&
                verify_password(stored->password_hash, credentials.password)) {
                accounts = reload();
                account = accounts->find(user);
                good = account && account->password_hash == stored->password_hash;
            }
        } catch (const StoreError& e) {
            std::fprintf(stderr, "tovix-server: reading account %s: %s\n", log_field(user).c_str(),
                         e.what());
        }
    }
    if (good) {
        guard_.succeeded(source, user, LoginGuard::Clock::now());
        verified_.remember(user, credentials.password, account->password_hash);
        return finish(key, {Verdict::Outcome::Good, accounts, account, 0});
    }
    finish(key, {Verdict::Outcome::Bad, nullptr, nullptr, 0});
}

// A token not among those read: looked up in the database, and when it is
// there the tokens are read again into *accounts.
bool Authenticator::verify_token(const Credentials& credentials, AccountsPtr* accounts) {
    try {
        const std::optional<TokenRecord> stored = store_.token(token_digest(credentials.password));
        if (!stored || stored->host != normalize_host(credentials.user))
            return false;
        *accounts = reload(true);
        return true;
    } catch (const StoreError& e) {
        std::fprintf(stderr, "tovix-server: reading a token of %s: %s\n",
                     log_field(credentials.user).c_str(), e.what());
        return false;
    }
}

std::optional<AccountRecord> Authenticator::session(const std::string& id) {
    if (id.size() != kSessionIdLength)
        return std::nullopt;
    const std::optional<SessionRecord> s = store_.session(token_digest(id), std::time(nullptr));
    return s ? store_.account(s->account) : std::nullopt;
}

std::optional<std::string> Authenticator::start_session(const std::string& account) {
    const std::string id = new_session_id();
    if (!store_.add_session(token_digest(id), account, std::time(nullptr)))
        return std::nullopt;
    return id;
}

void Authenticator::end_session(const std::string& id) {
    store_.end_session(token_digest(id));
}

void Authenticator::finish(const std::string& key, const Verdict& verdict) {
    std::vector<Done> waiters;
    {
        std::lock_guard<std::mutex> lock(checks_mutex_);
        auto found = checks_.find(key);
        if (found == checks_.end())
            return;
        waiters = std::move(found->second);
        checks_.erase(found);
    }
    for (Done& w : waiters)
        w(verdict);
}

} // namespace tovix::server
