// What keeps password guessing slow without locking the owner out: failed
// logins counted per source and per account.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovix::server {

// Failed logins, counted in token buckets per source (an IPv4 address, or an
// IPv6 /64) and per account name. Each failure takes a token; tokens come
// back at a steady rate up to the burst. A source without tokens gets no
// password check at all. An account without tokens is checked only for
// sources that have not failed for a while, so its owner, elsewhere, gets in;
// each such exemption takes a token of a second, slow bucket of the account,
// so an attacker spread over many addresses does not get a check for each
// new one. The counters live in
// two fixed tables (set-associative, slots chosen by a keyed hash), so memory
// is the same whatever the number of sources; a forgotten entry starts over
// clean.
class LoginGuard {
  public:
    using Clock = std::chrono::steady_clock;
    struct Policy {
        double source_burst = 10;
        double source_per_second = 2;
        double account_burst = 20;
        double account_per_second = 1;
        // Checks of an account out of tokens, for sources that count as clean.
        double exempt_burst = 5;
        double exempt_per_second = 0.1;
        // A source that has not failed for this long counts as clean: it
        // is checked even for an account out of tokens.
        std::chrono::seconds clean_after{600};
        std::size_t sets = 16384; // 4 entries each, per table
    };

    LoginGuard();
    explicit LoginGuard(Policy policy);

    // How long until a password from `source` for `account` may be checked:
    // zero when it may be now. Counts nothing.
    Clock::duration wait(std::string_view source, std::string_view account, Clock::time_point now);
    // Whether a password from `source` for `account` may be checked now; if
    // so, the check is counted as a failure until succeeded() says otherwise.
    bool try_check(std::string_view source, std::string_view account, Clock::time_point now);
    void succeeded(std::string_view source, std::string_view account, Clock::time_point now);
    // Whether the source itself is out of tokens (rather than the account).
    bool source_waits(std::string_view source, Clock::time_point now);

  private:
    struct Bucket {
        double burst, rate;
    };
    struct Entry {
        std::uint64_t tag = 0; // 0: free
        float tokens = 0;
        float exempt = 0; // accounts: checks left for clean sources
        Clock::time_point last;
        Clock::time_point failed; // the last check not (yet) known good; {}: none
    };
    struct Table {
        Bucket main, exempt;
        std::vector<Entry> entries;
        Entry& find(std::uint64_t tag, Clock::time_point now);
    };
    std::uint64_t tag(std::string_view kind, std::string_view key) const;
    bool clean(const Entry& source, Clock::time_point now) const;
    Clock::duration wait(const Entry& source, const Entry& account, Clock::time_point now) const;

    std::mutex mutex_;
    unsigned char key_[16];
    std::chrono::seconds clean_after_;
    Table sources_, accounts_;
};

} // namespace tovix::server
