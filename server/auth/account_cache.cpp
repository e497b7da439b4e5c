// The bounded caches of accounts and tokens: a list in the order of use and
// a map into it for each, and the indexes by host that a change needs.
#include "auth/account_cache.h"

namespace tovix::server {

AccountCache::AccountCache(std::size_t weight, std::size_t tokens)
    : max_weight_(weight), max_tokens_(tokens) {}

AccountPtr AccountCache::account(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = by_name_.find(name);
    if (found == by_name_.end())
        return nullptr;
    accounts_.splice(accounts_.begin(), accounts_, found->second);
    return found->second->second.account;
}

TokenPtr AccountCache::token(const std::string& digest) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = by_digest_.find(digest);
    if (found == by_digest_.end())
        return nullptr;
    tokens_.splice(tokens_.begin(), tokens_, found->second);
    return found->second->second;
}

std::optional<std::string> AccountCache::owner(const std::string& host) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (auto found = owners_.find(host); found != owners_.end())
        return found->second;
    if (auto found = host_tokens_.find(host); found != host_tokens_.end())
        return by_digest_.at(*found->second.begin())->second->owner->name;
    return std::nullopt;
}

std::uint64_t AccountCache::epoch() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return epoch_;
}

bool AccountCache::put(AccountPtr account, std::uint64_t epoch) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t weight = 1 + account->hosts.size();
    if (epoch != epoch_ || weight > max_weight_)
        return false;
    if (auto found = by_name_.find(account->name); found != by_name_.end())
        drop(found->second);
    while (weight_ + weight > max_weight_)
        drop(std::prev(accounts_.end()));
    for (const std::string& host : account->hosts)
        owners_[host] = account->name;
    const std::string name = account->name;
    accounts_.emplace_front(name, Entry{std::move(account), weight});
    by_name_[name] = accounts_.begin();
    weight_ += weight;
    return true;
}

bool AccountCache::put(TokenPtr token, std::uint64_t epoch) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (epoch != epoch_ || max_tokens_ == 0)
        return false;
    const std::string& digest = token->token.digest;
    if (auto found = by_digest_.find(digest); found != by_digest_.end())
        drop(found->second);
    while (tokens_.size() >= max_tokens_)
        drop(std::prev(tokens_.end()));
    host_tokens_[token->token.host].insert(digest);
    tokens_.emplace_front(digest, std::move(token));
    by_digest_[tokens_.front().first] = tokens_.begin();
    return true;
}

void AccountCache::drop(AccountList::iterator it) {
    for (const std::string& host : it->second.account->hosts) {
        auto owner = owners_.find(host);
        if (owner != owners_.end() && owner->second == it->first)
            owners_.erase(owner);
    }
    weight_ -= it->second.weight;
    by_name_.erase(it->first);
    accounts_.erase(it);
}

void AccountCache::drop(TokenList::iterator it) {
    const std::string& host = it->second->token.host;
    auto digests = host_tokens_.find(host);
    digests->second.erase(it->first);
    if (digests->second.empty())
        host_tokens_.erase(digests);
    by_digest_.erase(it->first);
    tokens_.erase(it);
}

void AccountCache::forget_account(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++epoch_;
    if (auto found = by_name_.find(name); found != by_name_.end())
        drop(found->second);
}

void AccountCache::forget_host(const std::string& host) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++epoch_;
    auto digests = host_tokens_.find(host);
    while (digests != host_tokens_.end()) {
        drop(by_digest_.at(*digests->second.begin()));
        digests = host_tokens_.find(host);
    }
}

void AccountCache::forget_all() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++epoch_;
    accounts_.clear();
    by_name_.clear();
    tokens_.clear();
    by_digest_.clear();
    host_tokens_.clear();
    owners_.clear();
    weight_ = 0;
}

std::size_t AccountCache::accounts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return accounts_.size();
}

std::size_t AccountCache::tokens() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return tokens_.size();
}

} // namespace tovix::server
