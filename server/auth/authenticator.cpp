// The Authenticator. Order of a check:
//
//   A token of the host named as the user, looked up before, is good at
//   once.
//   1. a credential that has passed Argon2id before (its keyed digest is
//      remembered) is good at once, before the guard is asked: a good client
//      behind the same address as a guesser keeps working. When its account
//      is no longer cached, the account is read again on a worker thread,
//      and the credential is good while the account's hash is the one it
//      passed against;
//   2. past the guard's limit the request is throttled, never checked;
//   3. a password shaped like a token, of a name that is no cached
//      account, is looked up among the tokens by its digest on a worker
//      thread (an index, not Argon2id): a token made a moment ago anywhere
//      works at once, and a router's first update after a restart costs a
//      lookup. When it is no token of that host, the check goes on:
//   4. a check of the same credential already running is joined;
//   5. otherwise, on a worker thread, the account is looked up by its name
//      (when it is not cached) and Argon2id runs against its hash or, for
//      an unknown name, a dummy one, so that a refusal takes as long for a
//      host's name as for an account's. A failure against a cached account
//      reads it from the database again before it is final: a password
//      changed a moment ago (by another process, or on another node) is not
//      refused for the cache being behind.
//
// The change log is read every `refresh` (and at once on news from another
// server): each change forgets only the accounts, hosts and tokens it
// names; rows pruned before they were read forget everything.
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

Authenticator::Authenticator(Store& store, Workers& workers, LoginGuard::Policy policy,
                             std::chrono::milliseconds refresh)
    : store_(store), workers_(workers), guard_(policy),
      unknown_user_hash_(hash_password("no such account")), refresh_(refresh) {
    recount();
    watcher_ = std::thread([this] { watch(); });
}

Authenticator::~Authenticator() {
    stop_thread(stop_mutex_, stopping_, stop_changed_, watcher_);
}

bool Authenticator::known_owner(const std::string& host) const {
    return cache_.owner(host).has_value();
}

// Counts every account and host once, with the change log's number of
// that moment.
void Authenticator::recount() {
    const AccountCounts counts = store_.account_counts();
    seq_ = counts.seq;
    accounts_ = counts.accounts;
    hosts_ = counts.hosts;
    metrics().accounts = counts.accounts;
    metrics().hosts = counts.hosts;
}

void Authenticator::refresh() {
    std::lock_guard<std::mutex> one_at_a_time(read_mutex_);
    for (;;) {
        const ChangeFeed feed = store_.account_changes(seq_);
        if (feed.gap) {
            // Changes this server never read are gone from the log: nothing
            // it keeps can be trusted.
            cache_.forget_all();
            recount();
            return;
        }
        if (feed.seq == seq_)
            return;
        for (const AccountChange& change : feed.changes)
            forget(change);
        seq_ = feed.seq;
    }
}

void Authenticator::forget(const AccountChange& change) {
    if (!change.account.empty() && change.what != "tokens")
        cache_.forget_account(change.account);
    if (!change.host.empty())
        cache_.forget_host(change.host);
    if (change.what == "password" || change.what == "account-")
        verified_.forget(change.account);
    if (change.what == "account+" || change.what == "account-")
        metrics().accounts = accounts_ += change.what == "account+" ? 1 : -1;
    if (change.what == "host+" || change.what == "host-")
        metrics().hosts = hosts_ += change.what == "host+" ? 1 : -1;
}

void Authenticator::changed() {
    {
        std::lock_guard<std::mutex> lock(stop_mutex_);
        news_ = true;
    }
    stop_changed_.notify_all();
}

void Authenticator::watch() {
    bool failing = false;
    std::unique_lock<std::mutex> lock(stop_mutex_);
    for (;;) {
        stop_changed_.wait_for(lock, refresh_, [this] { return stopping_ || news_; });
        if (stopping_)
            return;
        news_ = false;
        lock.unlock();
        try {
            refresh();
            if (failing)
                std::fprintf(stderr, "tovix-server: reading the accounts' changes again\n");
            failing = false;
        } catch (const StoreError& e) {
            // Keep answering from what was read; the next look may work.
            if (!failing)
                std::fprintf(stderr, "tovix-server: reading the accounts' changes: %s\n", e.what());
            failing = true;
        }
        lock.lock();
    }
}

AccountPtr Authenticator::load_account(const std::string& name) {
    const std::uint64_t epoch = cache_.epoch();
    std::optional<AccountRecord> stored = store_.account(name);
    if (!stored)
        return nullptr;
    auto account = std::make_shared<const AccountRecord>(std::move(*stored));
    cache_.put(account, epoch);
    return account;
}

// A token is good for its host while an account owns the host.
TokenPtr Authenticator::load_token(const std::string& digest) {
    const std::uint64_t epoch = cache_.epoch();
    const std::optional<TokenRecord> stored = store_.token(digest);
    if (!stored)
        return nullptr;
    const std::optional<std::string> owner = store_.owner(stored->host);
    if (!owner)
        return nullptr;
    auto token = std::make_shared<const TokenGrant>(
        TokenGrant{*stored, std::make_shared<const AccountRecord>(
                                AccountRecord{*owner, std::string(), {stored->host}, false})});
    cache_.put(token, epoch);
    return token;
}

Verdict Authenticator::good(const TokenPtr& token) const {
    return {Verdict::Outcome::Good, token->owner, 0,
            std::shared_ptr<const TokenRecord>(token, &token->token)};
}

void Authenticator::check(const std::string& source, const Credentials& credentials, Done done) {
    const std::string& user = credentials.user;
    if (is_token_form(credentials.password)) {
        if (TokenPtr token = cache_.token(token_digest(credentials.password));
            token && token->token.host == normalize_host(user))
            return done(good(token));
    }
    const AccountPtr account = cache_.account(user);
    if (account && verified_.known(user, credentials.password, account->password_hash)) {
        metrics().password_cache_hits.fetch_add(1, std::memory_order_relaxed);
        return done({Verdict::Outcome::Good, account, 0, nullptr});
    }
    if (!account) {
        if (std::optional<std::string> hash = verified_.hash_of(user, credentials.password))
            return reread(source, credentials, *hash, std::move(done));
    }

    const auto now = LoginGuard::Clock::now();
    if (guard_.wait(source, user, now) > LoginGuard::Clock::duration::zero())
        return throttled(source, user, done);
    if (!account && is_token_form(credentials.password))
        return look_up_token(source, credentials, std::move(done));
    check_password(source, credentials, account, std::move(done));
}

void Authenticator::throttled(const std::string& source, const std::string& user,
                              const Done& done) {
    const auto now = LoginGuard::Clock::now();
    const double seconds = std::chrono::duration<double>(guard_.wait(source, user, now)).count();
    metrics().throttled(guard_.source_waits(source, now) ? Metrics::kBySource
                                                         : Metrics::kByAccount);
    done({Verdict::Outcome::Throttled, nullptr, std::max(1, static_cast<int>(std::ceil(seconds))),
          nullptr});
}

// On a worker thread: the token by its digest; when it is none of the
// host's, the password check goes on.
void Authenticator::look_up_token(const std::string& source, const Credentials& credentials,
                                  Done done) {
    const bool queued = workers_.run([this, source, credentials, done] {
        TokenPtr token;
        try {
            token = load_token(token_digest(credentials.password));
        } catch (const StoreError& e) {
            std::fprintf(stderr, "tovix-server: reading a token of %s: %s\n",
                         log_field(credentials.user).c_str(), e.what());
            return done({Verdict::Outcome::Busy, nullptr, 1, nullptr});
        }
        if (token && token->token.host == normalize_host(credentials.user)) {
            guard_.succeeded(source, credentials.user, LoginGuard::Clock::now());
            return done(good(token));
        }
        check_password(source, credentials, nullptr, done);
    });
    if (!queued) {
        metrics().throttled(Metrics::kChecksFull);
        done({Verdict::Outcome::Busy, nullptr, 1, nullptr});
    }
}

// Argon2id on a worker thread, at most one for the same credentials at a
// time: a client that opens many connections at once waits for the first
// check instead of spending its source's allowance (and the CPU) on each.
void Authenticator::check_password(const std::string& source, const Credentials& credentials,
                                   const AccountPtr& account, Done done) {
    const std::string& user = credentials.user;
    const std::string key = verified_.digest(user, credentials.password,
                                             account ? account->password_hash : unknown_user_hash_);
    {
        std::lock_guard<std::mutex> lock(checks_mutex_);
        auto running = checks_.find(key);
        if (running != checks_.end()) {
            running->second.push_back(std::move(done));
            return;
        }
    }
    if (!guard_.try_check(source, user, LoginGuard::Clock::now()))
        return throttled(source, user, done);
    {
        std::lock_guard<std::mutex> lock(checks_mutex_);
        checks_[key].push_back(std::move(done));
    }
    const bool queued = workers_.run(
        [this, source, credentials, account, key] { verify(source, credentials, account, key); });
    if (!queued) {
        metrics().throttled(Metrics::kChecksFull);
        finish(key, {Verdict::Outcome::Busy, nullptr, 1, nullptr});
    }
}

// Credentials that passed Argon2id before, against `hash`, for an account
// no longer cached: good while the account still has that hash; otherwise
// they are checked as any others.
void Authenticator::reread(const std::string& source, const Credentials& credentials,
                           const std::string& hash, Done done) {
    const bool queued = workers_.run([this, source, credentials, hash, done] {
        AccountPtr account;
        try {
            account = load_account(credentials.user);
        } catch (const StoreError& e) {
            std::fprintf(stderr, "tovix-server: reading account %s: %s\n",
                         log_field(credentials.user).c_str(), e.what());
            return done({Verdict::Outcome::Busy, nullptr, 1, nullptr});
        }
        if (account && account->password_hash == hash) {
            metrics().password_cache_hits.fetch_add(1, std::memory_order_relaxed);
            return done({Verdict::Outcome::Good, account, 0, nullptr});
        }
        verified_.forget(credentials.user);
        check(source, credentials, done);
    });
    if (!queued) {
        metrics().throttled(Metrics::kChecksFull);
        done({Verdict::Outcome::Busy, nullptr, 1, nullptr});
    }
}

// On a worker thread: the account looked up, Argon2id, and on failure
// against a cached account the account read again.
void Authenticator::verify(const std::string& source, const Credentials& credentials,
                           AccountPtr account, const std::string& key) {
    const std::string& user = credentials.user;
    const bool cached = account != nullptr;
    try {
        if (!cached)
            account = load_account(user);
    } catch (const StoreError& e) {
        std::fprintf(stderr, "tovix-server: reading account %s: %s\n", log_field(user).c_str(),
                     e.what());
        return finish(key, {Verdict::Outcome::Busy, nullptr, 1, nullptr});
    }
    metrics().password_checks.fetch_add(1, std::memory_order_relaxed);
    bool good = verify_password(account ? account->password_hash : unknown_user_hash_,
                                credentials.password) &&
                account;
    if (!good && cached) {
        try {
            AccountPtr stored = load_account(user);
            if (stored && stored->password_hash != account->password_hash &&
                verify_password(stored->password_hash, credentials.password)) {
                account = std::move(stored);
                good = true;
            }
        } catch (const StoreError& e) {
            std::fprintf(stderr, "tovix-server: reading account %s: %s\n", log_field(user).c_str(),
                         e.what());
        }
    }
    if (good) {
        guard_.succeeded(source, user, LoginGuard::Clock::now());
        verified_.remember(user, credentials.password, account->password_hash);
        return finish(key, {Verdict::Outcome::Good, account, 0, nullptr});
    }
    finish(key, {Verdict::Outcome::Bad, nullptr, 0, nullptr});
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
