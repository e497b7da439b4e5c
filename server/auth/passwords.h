// Credentials kept only as hashes: Argon2id on disk, a keyed digest in
// memory once verified.
#pragma once

#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tovix::server {

// libsodium, initialised once (throws std::runtime_error if it cannot be).
void init_sodium();

// An Argon2id string (libsodium crypto_pwhash_str) for a password.
std::string hash_password(std::string_view password);
// Checks a password against such a string; false for a malformed string.
bool verify_password(const std::string& hash, std::string_view password);

// Credentials that have passed an Argon2id check, remembered as a keyed
// BLAKE2b digest of (name, password, stored hash), never as text, so that
// later updates cost a digest instead of Argon2id. A changed password (a new
// stored hash) no longer matches. Bounded: at most `capacity` accounts, the
// least recently used forgotten first.
class VerifiedCredentials {
  public:
    explicit VerifiedCredentials(std::size_t capacity = 100000);
    bool known(std::string_view user, std::string_view password, const std::string& hash);
    // The stored hash these credentials passed against, if they did: they
    // are good while the account's hash is still that one.
    std::optional<std::string> hash_of(std::string_view user, std::string_view password);
    void remember(std::string_view user, std::string_view password, const std::string& hash);
    void forget(const std::string& user);
    std::size_t size() const;

    // The keyed digest itself, also a name for a check in progress.
    std::string digest(std::string_view user, std::string_view password,
                       const std::string& hash) const;

  private:
    struct Entry {
        std::string digest, hash;
    };
    using List = std::list<std::pair<std::string, Entry>>; // most recently used first

    mutable std::mutex mutex_;
    unsigned char key_[32];
    std::size_t capacity_;
    List used_;
    std::unordered_map<std::string, List::iterator> by_user_;
};

} // namespace tovix::server
