// A batch of updates beyond the hosts' own rows (store.cpp reads those):
// the records as the batch has left them, and the routers' followers. An
// update that carries a LAN prefix moves every host that follows its router
// in the same transaction: each follower's update comes after the batch's
// own, its address the prefix with its suffix, its history "prefix". A
// prefix that a follower's suffix overlaps refuses its whole request.
#include "store/store.h"

#include <utility>

namespace tovix::server {

std::optional<Host> Store::Prefetched::host(const std::string& name) const {
    auto found = hosts.find(name);
    return found == hosts.end() ? std::nullopt : std::optional<Host>(found->second);
}

const std::vector<Follow>& Store::Prefetched::followers_of(const std::string& router) const {
    static const std::vector<Follow> none;
    auto found = followers.find(router);
    return found == followers.end() ? none : found->second;
}

// The host's address and mail records in its zone, as published_rows()
// reads them; read again once this batch has rewritten them.
std::vector<Store::PublishedRow> Store::rows_of(const Prefetched& batch, const Host& host) {
    if (batch.rewritten.count(host.name))
        return published_rows(host);
    const std::int64_t zone = zone_ids_.at(host.zone);
    std::vector<PublishedRow> out;
    for (const std::string& name : {host.name, "*." + host.name}) {
        auto found = batch.records.find(name);
        if (found == batch.records.end())
            continue;
        for (const auto& [domain, row] : found->second)
            if (domain == zone)
                out.push_back(row);
    }
    PublishedRow::sort(out);
    return out;
}

// The followers and the latest prefix of each router, by the index on the
// routers' names, a few dozen routers per statement.
void Store::prefetch_followers(Prefetched& batch, const std::vector<std::string>& routers) {
    constexpr std::size_t kChunk = 16;
    const std::string follows_sql = "SELECT host, router, suffix FROM tovix_follows"
                                    " WHERE router IN (" +
                                    placeholders(1, kChunk) + ") ORDER BY router, host";
    const std::string prefixes_sql =
        "SELECT host, prefix FROM tovix_prefixes WHERE host IN (" + placeholders(1, kChunk) + ")";
    for (std::size_t first = 0; first < routers.size(); first += kChunk) {
        const std::vector<SqlValue> names = chunk_values(routers, first, kChunk);
        const SqlRows f = db_->query(follows_sql, names);
        for (std::size_t i = 0; i < f.rows.size(); ++i)
            batch.followers[f.text(i, 1)].push_back({f.text(i, 0), f.text(i, 1), f.text(i, 2)});
        const SqlRows p = db_->query(prefixes_sql, names);
        for (std::size_t i = 0; i < p.rows.size(); ++i)
            batch.prefixes[p.text(i, 0)] = p.text(i, 1);
    }
}

Store::Work Store::plan_work(const Prefetched& batch, const std::vector<Update>& given) {
    Work work{given, std::vector<bool>(given.size(), false), {}};
    auto routes = [&batch](const Update& u) {
        auto owner = batch.owners.find(u.host);
        return u.prefix && owner != batch.owners.end() && owner->second == u.account;
    };
    std::set<std::uint64_t> refused;
    for (std::size_t i = 0; i < given.size(); ++i) {
        if (!routes(given[i]))
            continue;
        for (const Follow& f : batch.followers_of(given[i].host)) {
            if (suffix_fits(f.suffix, given[i].prefix->length))
                continue;
            work.refused[i] = true;
            if (given[i].request)
                refused.insert(given[i].request);
        }
    }
    for (std::size_t i = 0; i < given.size(); ++i) {
        const Update& u = given[i];
        work.refused[i] = work.refused[i] || (u.request && refused.count(u.request));
        if (work.refused[i] || !routes(u))
            continue;
        for (const Follow& f : batch.followers_of(u.host)) {
            if (std::optional<Update> moved =
                    follower_update(batch, f, *u.prefix, u.account, u.origin))
                work.updates.push_back(std::move(*moved));
        }
        auto stored = batch.prefixes.find(u.host);
        if (stored == batch.prefixes.end() || stored->second != u.prefix->text())
            work.prefixes[u.host] = u.prefix->text();
        else
            work.prefixes.erase(u.host); // back to what is stored
    }
    return work;
}

// The update that moves a follower to the prefix: its IPv6 address, in the
// zone it is published in (or the database's zone it lies in, if it has
// never been updated); nothing for a host in no zone of the database.
std::optional<Update> Store::follower_update(const Prefetched& batch, const Follow& follow,
                                             const Ipv6Prefix& prefix, const std::string& account,
                                             Origin origin) {
    const std::optional<std::string> address = prefixed_address(prefix, follow.suffix);
    const std::optional<Host> old = batch.host(follow.host);
    std::string zone = old ? old->zone : "";
    if (zone.empty()) {
        if (auto found = database_zone(follow.host))
            zone = found->first;
    }
    if (!address || zone.empty() || zone_id(zone) < 0)
        return std::nullopt;
    Update u;
    u.host = follow.host;
    u.account = account;
    u.zone = zone;
    u.ipv6 = *address;
    u.router = follow.router;
    origin.credential = "prefix from " + follow.router;
    u.origin = std::move(origin);
    return u;
}

void Store::save_prefixes(const std::map<std::string, std::string>& prefixes) {
    for (const auto& [host, prefix] : prefixes)
        db_->write("INSERT INTO tovix_prefixes (host, prefix) VALUES (?1, ?2)"
                   " ON CONFLICT (host) DO UPDATE SET prefix = excluded.prefix",
                   {host, prefix});
}

} // namespace tovix::server
