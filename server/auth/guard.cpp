// The two token-bucket tables of the guessing guard (set-associative, keyed
// by a secret hash so that no client can aim at one set).
#include "auth/guard.h"

#include "auth/passwords.h"
#include "base/address.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>

namespace tovix::server {

namespace {

constexpr std::size_t kWays = 4;

} // namespace

LoginGuard::LoginGuard() : LoginGuard(Policy{}) {}

LoginGuard::LoginGuard(Policy policy)
    : clean_after_(policy.clean_after), sources_{{policy.source_burst, policy.source_per_second},
                                                 {0, 0},
                                                 {}},
      accounts_{{policy.account_burst, policy.account_per_second},
                {policy.exempt_burst, policy.exempt_per_second},
                {}} {
    init_sodium();
    crypto_shorthash_keygen(key_);
    const std::size_t sets = std::max<std::size_t>(1, policy.sets);
    sources_.entries.resize(sets * kWays);
    accounts_.entries.resize(sets * kWays);
}

std::uint64_t LoginGuard::tag(std::string_view kind, std::string_view key) const {
    std::string text(kind);
    text.push_back('\0');
    text.append(key);
    unsigned char out[crypto_shorthash_BYTES];
    crypto_shorthash(out, reinterpret_cast<const unsigned char*>(text.data()), text.size(), key_);
    std::uint64_t value;
    std::memcpy(&value, out, sizeof value);
    return value | 1; // never 0, the mark of a free slot
}

// The entry for `tag`, its tokens brought up to date. A new one starts full,
// in the free slot of its set or in place of the one that knows least (the
// fullest).
LoginGuard::Entry& LoginGuard::Table::find(std::uint64_t tag, Clock::time_point now) {
    const std::size_t sets = entries.size() / kWays;
    Entry* set = &entries[(tag >> 8) % sets * kWays];
    Entry* victim = set;
    for (std::size_t i = 0; i < kWays; ++i) {
        Entry& e = set[i];
        if (e.tag == tag) {
            const double seconds =
                std::max(0.0, std::chrono::duration<double>(now - e.last).count());
            auto refill = [seconds](float tokens, const Bucket& b) {
                return static_cast<float>(std::min(b.burst, tokens + seconds * b.rate));
            };
            e.tokens = refill(e.tokens, main);
            e.exempt = refill(e.exempt, exempt);
            e.last = now;
            return e;
        }
        if (e.tag == 0 || (victim->tag != 0 && e.tokens > victim->tokens))
            victim = &e;
    }
    *victim = Entry{tag, static_cast<float>(main.burst), static_cast<float>(exempt.burst), now, {}};
    return *victim;
}

bool LoginGuard::clean(const Entry& s, Clock::time_point now) const {
    return s.failed == Clock::time_point{} || now - s.failed >= clean_after_;
}

namespace {

// How long until `tokens` reach one at `rate`; "never" as an hour.
LoginGuard::Clock::duration until_one(float tokens, double rate) {
    if (tokens >= 1)
        return {};
    const double seconds = rate > 0 ? (1 - tokens) / rate : 3600;
    return std::chrono::duration_cast<LoginGuard::Clock::duration>(
        std::chrono::duration<double>(std::min(seconds, 3600.0)));
}

} // namespace

// Zero when a check may go ahead: the source has a token, and the account
// has one, or the source is clean and the account has an exemption left.
LoginGuard::Clock::duration LoginGuard::wait(const Entry& s, const Entry& a,
                                             Clock::time_point now) const {
    const Clock::duration source = until_one(s.tokens, sources_.main.rate);
    Clock::duration account = until_one(a.tokens, accounts_.main.rate);
    if (account > Clock::duration::zero()) {
        const Clock::duration to_clean =
            clean(s, now) ? Clock::duration::zero() : s.failed + clean_after_ - now;
        account = std::min(account, std::max(to_clean, until_one(a.exempt, accounts_.exempt.rate)));
    }
    return std::max(source, account);
}

LoginGuard::Clock::duration LoginGuard::wait(std::string_view source, std::string_view account,
                                             Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Entry& s = sources_.find(tag("s", source_key(source)), now);
    return wait(s, accounts_.find(tag("a", account), now), now);
}

bool LoginGuard::try_check(std::string_view source, std::string_view account,
                           Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry& s = sources_.find(tag("s", source_key(source)), now);
    Entry& a = accounts_.find(tag("a", account), now);
    if (wait(s, a, now) > Clock::duration::zero())
        return false;
    // Taken now, not when the check fails: checks running at the same time
    // count from the start.
    s.tokens -= 1;
    s.failed = now;
    if (a.tokens >= 1)
        a.tokens -= 1;
    else
        a.exempt -= 1;
    return true;
}

bool LoginGuard::source_waits(std::string_view source, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Entry& s = sources_.find(tag("s", source_key(source)), now);
    return until_one(s.tokens, sources_.main.rate) > Clock::duration::zero();
}

void LoginGuard::succeeded(std::string_view source, std::string_view account,
                           Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry& s = sources_.find(tag("s", source_key(source)), now);
    s.tokens = static_cast<float>(std::min(sources_.main.burst, s.tokens + 1.0));
    s.failed = Clock::time_point{};
    Entry& a = accounts_.find(tag("a", account), now);
    a.tokens = static_cast<float>(std::min(accounts_.main.burst, a.tokens + 1.0));
}

} // namespace tovix::server
