// What the Authenticator has looked up: accounts by name, tokens by digest,
// and from them which account owns a host. Bounded, the least recently used
// going first, and forgotten piece by piece as the change log names what
// changed (Authenticator's watcher), never read whole from the database.
//
// A lookup races with a change: a record read before a change committed
// may come to be put after the change was forgotten. So every put carries
// the epoch seen before its read, and is dropped when anything was
// forgotten since.
#pragma once

#include "store/store.h"

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace tovix::server {

using AccountPtr = std::shared_ptr<const AccountRecord>;

// A token, and the account that owns its host (as an account record that
// lists that host alone: a token answers for its host and nothing else).
struct TokenGrant {
    TokenRecord token;
    AccountPtr owner;
};
using TokenPtr = std::shared_ptr<const TokenGrant>;

class AccountCache {
  public:
    // At most `weight` accounts and hosts of theirs (an account weighs one
    // and one for each host), and `tokens` tokens.
    explicit AccountCache(std::size_t weight = 200000, std::size_t tokens = 100000);

    AccountPtr account(const std::string& name);
    TokenPtr token(const std::string& digest);
    // The account owning `host`, when a cached account or token says so.
    std::optional<std::string> owner(const std::string& host) const;

    std::uint64_t epoch() const;
    // False (and nothing kept) when something was forgotten since `epoch`.
    bool put(AccountPtr account, std::uint64_t epoch);
    bool put(TokenPtr token, std::uint64_t epoch);

    void forget_account(const std::string& name);
    void forget_host(const std::string& host); // its tokens (its owner goes with the account)
    void forget_all();

    std::size_t accounts() const;
    std::size_t tokens() const;

  private:
    struct Entry {
        AccountPtr account;
        std::size_t weight;
    };
    using AccountList = std::list<std::pair<std::string, Entry>>;
    using TokenList = std::list<std::pair<std::string, TokenPtr>>;
    void drop(AccountList::iterator it);
    void drop(TokenList::iterator it);

    const std::size_t max_weight_, max_tokens_;
    mutable std::mutex mutex_;
    std::uint64_t epoch_ = 0;
    std::size_t weight_ = 0;
    AccountList accounts_; // most recently used first
    std::unordered_map<std::string, AccountList::iterator> by_name_;
    TokenList tokens_;
    std::unordered_map<std::string, TokenList::iterator> by_digest_;
    std::unordered_map<std::string, std::unordered_set<std::string>> host_tokens_; // digests
    std::unordered_map<std::string, std::string> owners_; // host -> account (cached accounts)
};

} // namespace tovix::server
