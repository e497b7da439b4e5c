// Credentials kept only as hashes: Argon2id on disk, a keyed digest in
// memory once verified.
#pragma once

#include <mutex>
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
// stored hash) no longer matches. Bounded: at most `capacity` accounts.
class VerifiedCredentials {
  public:
    explicit VerifiedCredentials(std::size_t capacity = 100000);
    bool known(std::string_view user, std::string_view password, const std::string& hash);
    void remember(std::string_view user, std::string_view password, const std::string& hash);

    // The keyed digest itself, also a name for a check in progress.
    std::string digest(std::string_view user, std::string_view password,
                       const std::string& hash) const;

  private:
    std::mutex mutex_;
    unsigned char key_[32];
    std::size_t capacity_;
    std::unordered_map<std::string, std::string> digests_; // user -> digest
};

} // namespace tovix::server
