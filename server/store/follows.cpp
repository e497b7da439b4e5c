// Routers and the hosts that follow their LAN prefix: the relation made and
// ended (each in one transaction, in the follower's history), what a host's
// page shows of it, and what becomes of it when a host leaves its account.
// Every lookup goes by a key or the index on the routers' names.
#include "store/store.h"

namespace tovix::server {

namespace {

std::string following(const std::string& router, const std::string& suffix) {
    return "router=" + router + " suffix=" + suffix;
}

} // namespace

// The zone of the database a host lies in, the longest: found label by
// label, as PowerDNS would.
std::optional<std::pair<std::string, std::int64_t>> Store::database_zone(const std::string& host) {
    for (std::size_t dot = host.find('.'); dot != std::string::npos;
         dot = host.find('.', dot + 1)) {
        const std::string zone = host.substr(dot + 1);
        if (const std::int64_t id = zone_id(zone); id >= 0)
            return std::pair(zone, id);
    }
    return std::nullopt;
}

// Whether `follow` may be made: both hosts of one account (of `account`,
// if given), which goes in *owner. Where the database locks rows, both
// hosts' rows are held until the transaction ends, so two servers never
// make a chain of followers between them.
FollowResult Store::check_follow(const Follow& follow, const std::string& account,
                                 std::string* owner) {
    if (follow.host == follow.router)
        return FollowResult::Itself;
    const SqlRows owners =
        db_->query(std::string("SELECT host, account FROM account_hosts WHERE host IN (?1, ?2)"
                               " ORDER BY host") +
                       (db_->locks_rows() ? " FOR UPDATE" : ""),
                   {follow.host, follow.router});
    if (owners.rows.size() != 2 || owners.text(0, 1) != owners.text(1, 1) ||
        (!account.empty() && owners.text(0, 1) != account))
        return FollowResult::NotOwned;
    *owner = owners.text(0, 1);
    if (!db_->query("SELECT 1 FROM tovix_follows WHERE host = ?1", {follow.router}).empty())
        return FollowResult::RouterFollows;
    if (!db_->query("SELECT 1 FROM tovix_follows WHERE router = ?1 LIMIT 1", {follow.host}).empty())
        return FollowResult::HostFollowed;
    if (db_->query("SELECT COUNT(*) FROM tovix_follows WHERE router = ?1 AND host <> ?2",
                   {follow.router, follow.host})
            .integer(0, 0) >= kMaxFollowers)
        return FollowResult::Full;
    // The router's zone is held, as its updates hold it: its prefix stays
    // what is read here until the follower has moved.
    for (const std::string& host : {follow.router, follow.host}) {
        if (auto zone = database_zone(host))
            lock_zone(zone->first, zone->second);
    }
    const SqlRows prefix =
        db_->query("SELECT prefix FROM tovix_prefixes WHERE host = ?1", {follow.router});
    const std::optional<Ipv6Prefix> latest =
        prefix.empty() ? std::nullopt : parse_ipv6_prefix(prefix.text(0, 0));
    if (latest && !suffix_fits(follow.suffix, latest->length))
        return FollowResult::SuffixOverlaps;
    return FollowResult::Done;
}

// The follower takes the router's latest prefix, if there is one.
void Store::move_follower(const Follow& follow, const std::string& account, const Origin& origin,
                          std::int64_t now) {
    const SqlRows stored =
        db_->query("SELECT prefix FROM tovix_prefixes WHERE host = ?1", {follow.router});
    const std::optional<Ipv6Prefix> prefix =
        stored.empty() ? std::nullopt : parse_ipv6_prefix(stored.text(0, 0));
    if (!prefix)
        return;
    Update probe;
    probe.host = follow.host;
    Prefetched batch = prefetch({probe});
    const std::optional<Update> moved = follower_update(batch, follow, *prefix, account, origin);
    if (!moved)
        return;
    std::set<std::string> changed_zones;
    write_update(batch, *moved, now, &changed_zones);
    for (const std::string& zone : changed_zones)
        bump_serial(zone);
}

FollowResult Store::follow(const Follow& follow, const std::string& account, const Origin& origin,
                           std::int64_t now) {
    std::lock_guard<std::mutex> lock(mutex_);
    FollowResult result = FollowResult::Done;
    transaction(Begin::Write, [&] {
        std::string owner;
        result = check_follow(follow, account, &owner);
        if (result != FollowResult::Done)
            return false;
        const SqlRows was =
            db_->query("SELECT router, suffix FROM tovix_follows WHERE host = ?1", {follow.host});
        db_->write("INSERT INTO tovix_follows (host, router, suffix) VALUES (?1, ?2, ?3)"
                   " ON CONFLICT (host) DO UPDATE SET router = excluded.router,"
                   " suffix = excluded.suffix",
                   {follow.host, follow.router, follow.suffix});
        add_history(follow.host, now,
                    {0, "follow", was.empty() ? "-" : following(was.text(0, 0), was.text(0, 1)),
                     following(follow.router, follow.suffix), origin});
        move_follower(follow, owner, origin, now);
        return true;
    });
    return result;
}

bool Store::unfollow(const std::string& host, const std::string& account, const Origin& origin,
                     std::int64_t now) {
    std::lock_guard<std::mutex> lock(mutex_);
    return transaction(Begin::Write, [&] {
        const SqlRows was = db_->query("SELECT f.router, f.suffix, o.account FROM tovix_follows f"
                                       " JOIN account_hosts o ON o.host = f.host WHERE f.host = ?1",
                                       {host});
        if (was.empty() || (!account.empty() && was.text(0, 2) != account))
            return false;
        db_->write("DELETE FROM tovix_follows WHERE host = ?1", {host});
        add_history(host, now,
                    {0, "follow", following(was.text(0, 0), was.text(0, 1)), "-", origin});
        return true;
    });
}

FollowState Store::follow_state(const std::string& host) {
    std::lock_guard<std::mutex> lock(mutex_);
    FollowState state;
    const SqlRows follows =
        db_->query("SELECT router, suffix FROM tovix_follows WHERE host = ?1", {host});
    if (!follows.empty())
        state.follows = Follow{host, follows.text(0, 0), follows.text(0, 1)};
    const SqlRows followers = db_->query(
        "SELECT host, suffix FROM tovix_follows WHERE router = ?1 ORDER BY host", {host});
    for (std::size_t i = 0; i < followers.rows.size(); ++i)
        state.followers.push_back({followers.text(i, 0), host, followers.text(i, 1)});
    const SqlRows prefix = db_->query("SELECT prefix FROM tovix_prefixes WHERE host = ?1", {host});
    if (!prefix.empty())
        state.prefix = prefix.text(0, 0);
    return state;
}

// A router that leaves its account lets its followers go: they follow
// nobody and keep the addresses they have, which their history says.
void Store::release_followers(const std::string& router, std::int64_t now) {
    const SqlRows followers =
        db_->query("SELECT f.host, f.suffix FROM tovix_follows f"
                   " JOIN account_hosts o ON o.host = f.host WHERE f.router = ?1",
                   {router});
    for (std::size_t i = 0; i < followers.rows.size(); ++i)
        add_history(followers.text(i, 0), now,
                    {0,
                     "follow",
                     following(router, followers.text(i, 1)),
                     "-",
                     {"", "", false, "operator"}});
    db_->write("DELETE FROM tovix_follows WHERE router = ?1", {router});
}

} // namespace tovix::server
