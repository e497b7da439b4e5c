// Password hashes, the guessing guard and the verified-credential cache.
#include "auth/guard.h"
#include "auth/passwords.h"
#include "base/address.h"
#include "base/workers.h"

#include <gtest/gtest.h>

namespace tovix::server {
namespace {

using Clock = LoginGuard::Clock;
using std::chrono::milliseconds;
using namespace std::chrono_literals;

TEST(Passwords, Argon2idStringsVerify) {
    const std::string hash = hash_password("KoReL52");
    EXPECT_EQ(0u, hash.rfind("$argon2id$", 0)) << hash;
    EXPECT_TRUE(verify_password(hash, "KoReL52"));
    EXPECT_FALSE(verify_password(hash, "korel52"));
    EXPECT_FALSE(verify_password(hash, ""));
    EXPECT_NE(hash, hash_password("KoReL52")) << "salted";
    EXPECT_FALSE(verify_password("not a hash", "KoReL52"));
    EXPECT_FALSE(verify_password(std::string(200, '$'), "KoReL52"));
}

TEST(LoginGuard, OneSourceGetsAFewFreeMistakesThenTheRate) {
    LoginGuard guard;
    const Clock::time_point start = Clock::now();
    // A guess every 10 ms for a minute: checked only as fast as tokens return.
    int checked = 0;
    for (int i = 0; i < 6000; ++i) {
        Clock::time_point now = start + milliseconds(10 * i);
        // A new name each time: only the source's own limit binds.
        checked += guard.try_check("192.0.2.7", "user" + std::to_string(i), now);
    }
    EXPECT_GE(checked, 100) << "the steady rate is 2 a second";
    EXPECT_LE(checked, 10 + 2 * 60 + 1) << "burst plus the steady rate";
    // Another source, for another account, is untouched.
    EXPECT_TRUE(guard.try_check("198.51.100.1", "bob", start + milliseconds(60000)));
}

TEST(LoginGuard, AnAccountGuessedFromManyPlacesStillLetsItsOwnerIn) {
    LoginGuard guard;
    const Clock::time_point now = Clock::now();
    for (int i = 0; i < 20; ++i) {
        const std::string source = "203.0.113." + std::to_string(i);
        guard.try_check(source, "alice", now); // fails: each has tokens of its own left
    }
    // The account is out of tokens: a source that has failed once is refused,
    EXPECT_FALSE(guard.try_check("203.0.113.1", "alice", now));
    // one that never failed (the owner at home) is checked,
    EXPECT_TRUE(guard.try_check("198.51.100.9", "alice", now));
    guard.succeeded("198.51.100.9", "alice", now);
    EXPECT_TRUE(guard.try_check("198.51.100.9", "alice", now)) << "a success gives back";
    // and other accounts are unaffected for the failing source.
    EXPECT_TRUE(guard.try_check("203.0.113.1", "bob", now));
    // A failing source stays barred from the account while it is out of
    // tokens, even once its own have come back,
    int through = 0;
    for (int i = 0; i < 20; ++i)
        through += guard.try_check("203.0.113." + std::to_string(i), "alice", now + 5s);
    EXPECT_LE(through, 6) << "the account's tokens come back one a second";
    // and is clean again after a quiet while.
    EXPECT_TRUE(guard.try_check("203.0.113.1", "alice", now + std::chrono::minutes(11)));
}

TEST(LoginGuard, ASpreadAttackerGetsNoCheckForEachNewAddress) {
    LoginGuard guard;
    const Clock::time_point now = Clock::now();
    int checked = 0;
    for (int i = 0; i < 150; ++i) // 150 IPv6 subscribers
        checked += guard.try_check("2001:db8:" + std::to_string(i + 1) + "::1", "alice", now);
    EXPECT_EQ(20 + 5, checked) << "the account's tokens, then its exemptions for clean sources";
    const Clock::duration wait = guard.wait("2001:db8:ffff::1", "alice", now);
    EXPECT_GT(wait, Clock::duration::zero());
    EXPECT_LE(wait, 1s) << "the account's next token";
    EXPECT_FALSE(guard.try_check("2001:db8:ffff::1", "alice", now + wait - 1ms));
    EXPECT_TRUE(guard.try_check("2001:db8:ffff::1", "alice", now + wait));
}

TEST(LoginGuard, AnIPv6SubscriberIsOneSource) {
    EXPECT_EQ(source_key("2001:db8:1:2::1"), source_key("2001:db8:1:2:ffff::9"));
    EXPECT_NE(source_key("2001:db8:1:2::1"), source_key("2001:db8:1:3::1"));
    EXPECT_EQ("192.0.2.1", source_key("192.0.2.1"));
    LoginGuard guard;
    const Clock::time_point now = Clock::now();
    for (int i = 0; i < 50; ++i) {
        const std::string address = "2001:db8:1:2::" + std::to_string(i + 1);
        guard.try_check(address, "alice", now);
    }
    EXPECT_FALSE(guard.try_check("2001:db8:1:2::abcd", "alice", now));
}

// Stopping while an answer waits for its time: the answer goes at once,
// and the timer thread never touches what the stop took away.
TEST(Workers, StopWithAnswersPending) {
    for (int i = 0; i < 20; ++i) {
        int ran = 0;
        {
            Workers workers(1, 4);
            workers.later(60000, [&ran] { ++ran; });
            workers.later(i % 3, [] {});
        }
        EXPECT_EQ(1, ran);
    }
}

TEST(VerifiedCredentials, RemembersOnlyWhatWasVerified) {
    VerifiedCredentials cache(2);
    const std::string hash = "$argon2id$v=19$m=19456,t=2,p=1$c2FsdA$aGFzaA";
    EXPECT_FALSE(cache.known("alice", "pw", hash));
    cache.remember("alice", "pw", hash);
    EXPECT_TRUE(cache.known("alice", "pw", hash));
    EXPECT_FALSE(cache.known("alice", "pw2", hash));
    EXPECT_FALSE(cache.known("alice", "pw", hash + "x")) << "a new password hash forgets it";
    EXPECT_FALSE(cache.known("alic", "epw", hash)) << "the parts stay apart";
    cache.remember("bob", "b", hash);
    cache.remember("carol", "c", hash);
    EXPECT_TRUE(cache.known("carol", "c", hash));
    EXPECT_EQ(1, cache.known("alice", "pw", hash) + cache.known("bob", "b", hash))
        << "bounded to two entries";
}

} // namespace
} // namespace tovix::server
