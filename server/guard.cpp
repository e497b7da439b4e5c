// Argon2id through libsodium, the two token-bucket tables of the guessing
// guard (set-associative, keyed by a secret hash so that no client can aim
// at one set), and the keyed digests of credentials that passed a check.
#include "guard.h"

#include "base/address.h"

#include <sodium.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace tovix::server {

namespace {

const bool kSodiumReady = [] {
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium cannot be initialised");
    return true;
}();

constexpr std::size_t kWays = 4;

// Argon2id at OWASP's figures for interactive logins: 19 MiB, 2 passes.
constexpr unsigned long long kOpsLimit = 2;
constexpr std::size_t kMemLimit = 19u * 1024 * 1024;

} // namespace

std::string hash_password(std::string_view password) {
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str_alg(out, password.data(), password.size(), kOpsLimit, kMemLimit,
                              crypto_pwhash_ALG_ARGON2ID13) != 0)
        throw std::runtime_error("out of memory while hashing a password");
    return out;
}

bool verify_password(const std::string& hash, std::string_view password) {
    if (hash.size() >= crypto_pwhash_STRBYTES)
        return false;
    return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

// ---- LoginGuard ----------------------------------------------------------------

LoginGuard::LoginGuard() : LoginGuard(Policy{}) {}

LoginGuard::LoginGuard(Policy policy)
    : clean_after_(policy.clean_after), sources_{{policy.source_burst, policy.source_per_second},
                                                 {0, 0},
                                                 {}},
      accounts_{{policy.account_burst, policy.account_per_second},
                {policy.exempt_burst, policy.exempt_per_second},
                {}} {
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

// ---- VerifiedCredentials ---------------------------------------------------------

VerifiedCredentials::VerifiedCredentials(std::size_t capacity) : capacity_(capacity) {
    crypto_generichash_keygen(key_);
}

std::string VerifiedCredentials::digest(std::string_view user, std::string_view password,
                                        const std::string& hash) const {
    crypto_generichash_state state;
    crypto_generichash_init(&state, key_, sizeof key_, 32);
    for (std::string_view part : {user, password, std::string_view(hash)}) {
        const std::uint64_t size = part.size(); // lengths keep the parts apart
        crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(&size),
                                  sizeof size);
        crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(part.data()),
                                  part.size());
    }
    unsigned char out[32];
    crypto_generichash_final(&state, out, sizeof out);
    return std::string(reinterpret_cast<const char*>(out), sizeof out);
}

bool VerifiedCredentials::known(std::string_view user, std::string_view password,
                                const std::string& hash) {
    const std::string d = digest(user, password, hash);
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = digests_.find(std::string(user));
    return it != digests_.end() && sodium_memcmp(it->second.data(), d.data(), d.size()) == 0;
}

void VerifiedCredentials::remember(std::string_view user, std::string_view password,
                                   const std::string& hash) {
    std::string d = digest(user, password, hash);
    std::lock_guard<std::mutex> lock(mutex_);
    if (digests_.size() >= capacity_ && !digests_.count(std::string(user)))
        digests_.erase(digests_.begin());
    digests_[std::string(user)] = std::move(d);
}

} // namespace tovix::server
