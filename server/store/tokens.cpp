// Update tokens and ACME challenges in the store. A token is stored as its
// digest only; adding or removing one is an account change, logged for the
// host, so every server on the database forgets what it knew of its tokens. A challenge's values
// are TXT records at _acme-challenge.HOST, written with the zone's new serial in one transaction,
// as an address is.
#include "store/store.h"

#include "base/strings.h"

#include <set>

namespace tovix::server {

namespace {

const char* const kSelectToken =
    "SELECT host, id, digest, label, created, last_used FROM tovix_tokens";

TokenRecord token_at(const SqlRows& r, std::size_t i) {
    return {r.text(i, 0), r.integer(i, 1), r.text(i, 2),
            r.text(i, 3), r.integer(i, 4), r.integer(i, 5)};
}

std::vector<TokenRecord> tokens_of(const SqlRows& r) {
    std::vector<TokenRecord> out;
    for (std::size_t i = 0; i < r.rows.size(); ++i)
        out.push_back(token_at(r, i));
    return out;
}

std::string challenge_name(const std::string& host) {
    return "_acme-challenge." + host;
}

} // namespace

NewToken Store::add_token(const std::string& host, const std::string& digest,
                          const std::string& label, std::int64_t now) {
    NewToken made;
    account_change([&] {
        const SqlRows owner =
            db_->query("SELECT account FROM account_hosts WHERE host = ?1", {host});
        if (owner.empty())
            return false;
        const SqlRows held = db_->query(
            "SELECT COUNT(*), COALESCE(MAX(id), 0) FROM tovix_tokens WHERE host = ?1", {host});
        if (held.integer(0, 0) >= kMaxTokensPerHost) {
            made.full = true;
            return false;
        }
        made.id = held.integer(0, 1) + 1;
        db_->query("INSERT INTO tovix_tokens (host, id, digest, label, created)"
                   " VALUES (?1, ?2, ?3, ?4, ?5)",
                   {host, made.id, digest, utf8_prefix(label, 255), now});
        log_change("tokens", owner.text(0, 0), host);
        return true;
    });
    return made;
}

std::vector<TokenRecord> Store::tokens(const std::string& host) {
    std::lock_guard<std::mutex> lock(mutex_);
    return tokens_of(
        db_->query(std::string(kSelectToken) + " WHERE host = ?1 ORDER BY id", {host}));
}

std::optional<TokenRecord> Store::token(const std::string& digest) {
    const std::unique_lock<std::mutex> lock = lock_for_request();
    const SqlRows r = db_->query(std::string(kSelectToken) + " WHERE digest = ?1", {digest});
    return r.empty() ? std::nullopt : std::optional(token_at(r, 0));
}

bool Store::remove_token(const std::string& host, std::int64_t id) {
    return account_change([&] {
        if (db_->query("DELETE FROM tovix_tokens WHERE host = ?1 AND id = ?2", {host, id})
                .changed == 0)
            return false;
        const SqlRows owner =
            db_->query("SELECT account FROM account_hosts WHERE host = ?1", {host});
        log_change("tokens", owner.empty() ? std::string() : owner.text(0, 0), host);
        return true;
    });
}

// Makes the TXT records at _acme-challenge.HOST the values kept for the
// host; true when they were not already.
bool Store::publish_challenges(const std::string& host, std::int64_t zone_id) {
    const std::string name = challenge_name(host);
    const SqlRows values =
        db_->query("SELECT value FROM tovix_challenges WHERE host = ?1 ORDER BY value", {host});
    const SqlRows present = db_->query("SELECT content FROM records WHERE name = ?1 AND type ="
                                       " 'TXT' AND domain_id + 0 = ?2 ORDER BY content",
                                       {name, zone_id});
    std::set<std::string> wanted, held;
    for (std::size_t i = 0; i < values.rows.size(); ++i)
        wanted.insert('"' + values.text(i, 0) + '"');
    for (std::size_t i = 0; i < present.rows.size(); ++i)
        held.insert(present.text(i, 0));
    if (wanted == held)
        return false;
    db_->query("DELETE FROM records WHERE name = ?1 AND type = 'TXT' AND domain_id + 0 = ?2",
               {name, zone_id});
    for (const std::string& content : wanted)
        db_->query("INSERT INTO records (domain_id, name, type, content, ttl, prio, disabled,"
                   " auth) VALUES (?1, ?2, 'TXT', ?3, ?4, 0, FALSE, TRUE)",
                   {zone_id, name, content, std::int64_t{ttl_}});
    return true;
}

// The served zone of a host, with its id; nothing outside them.
std::optional<std::pair<std::string, std::int64_t>> Store::served_zone(const std::string& host) {
    const std::optional<std::string> zone = zone_for(host, served_zones_);
    if (!zone || zone_id(*zone) < 0)
        return std::nullopt;
    return std::pair(*zone, zone_id(*zone));
}

// The value joins the host's; the oldest beyond two, and any older than
// max_age, go.
ChallengeResult Store::set_challenge(const std::string& host, const std::string& value,
                                     std::int64_t now, std::int64_t max_age) {
    std::lock_guard<std::mutex> lock(mutex_);
    ChallengeResult result = ChallengeResult::Set;
    transaction(Begin::Write, [&] {
        const auto zone = served_zone(host);
        if (!zone || db_->query("SELECT 1 FROM account_hosts WHERE host = ?1", {host}).empty()) {
            result = zone ? ChallengeResult::NotOwned : ChallengeResult::NoZone;
            return false;
        }
        lock_zone(zone->first, zone->second);
        db_->query("DELETE FROM tovix_challenges WHERE host = ?1 AND (value = ?2 OR created < ?3)",
                   {host, value, now - max_age});
        const std::int64_t seq =
            db_->query("SELECT COALESCE(MAX(seq), 0) + 1 FROM tovix_challenges WHERE host = ?1",
                       {host})
                .integer(0, 0);
        db_->query("INSERT INTO tovix_challenges (host, value, created, seq)"
                   " VALUES (?1, ?2, ?3, ?4)",
                   {host, value, now, seq});
        const SqlRows kept = db_->query(
            "SELECT value FROM tovix_challenges WHERE host = ?1 ORDER BY seq DESC", {host});
        for (std::size_t i = 2; i < kept.rows.size(); ++i)
            db_->query("DELETE FROM tovix_challenges WHERE host = ?1 AND value = ?2",
                       {host, kept.text(i, 0)});
        if (publish_challenges(host, zone->second)) {
            bump_serial(zone->first, zone->second);
            changed_challenge(host, zone->first);
        }
        return true;
    });
    return result;
}

std::vector<std::string> Store::expire_challenges(std::int64_t now, std::int64_t max_age) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> hosts;
    const SqlRows old = db_->query("SELECT DISTINCT host FROM tovix_challenges WHERE created < ?1",
                                   {now - max_age});
    for (std::size_t i = 0; i < old.rows.size(); ++i) {
        const std::string host = old.text(i, 0);
        transaction(Begin::Write, [&] {
            const auto zone = served_zone(host);
            if (zone)
                lock_zone(zone->first, zone->second);
            db_->query("DELETE FROM tovix_challenges WHERE host = ?1 AND created < ?2",
                       {host, now - max_age});
            if (zone && publish_challenges(host, zone->second)) {
                bump_serial(zone->first, zone->second);
                changed_challenge(host, zone->first);
            }
            return true;
        });
        hosts.push_back(host);
    }
    return hosts;
}

} // namespace tovix::server
