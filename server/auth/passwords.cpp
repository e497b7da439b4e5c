// Argon2id through libsodium, and the keyed digests of credentials that
// passed a check.
#include "auth/passwords.h"

#include <sodium.h>

#include <stdexcept>

namespace tovix::server {

namespace {

// Argon2id at OWASP's figures for interactive logins: 19 MiB, 2 passes.
constexpr unsigned long long kOpsLimit = 2;
constexpr std::size_t kMemLimit = 19u * 1024 * 1024;

const bool kSodiumReady = (init_sodium(), true);

} // namespace

void init_sodium() {
    static const bool ready = [] {
        if (sodium_init() < 0)
            throw std::runtime_error("libsodium cannot be initialised");
        return true;
    }();
    (void)ready;
}

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

VerifiedCredentials::VerifiedCredentials(std::size_t capacity) : capacity_(capacity) {
    init_sodium();
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
