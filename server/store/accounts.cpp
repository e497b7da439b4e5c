// The accounts in the store: who may update which hosts, with an Argon2id
// hash of each password. Every change is one transaction that logs what it
// touched (account_changes.cpp), which the other servers read; a host no
// account may own is refused, and a host that leaves its account is
// withdrawn from DNS.
#include "store/store.h"

#include <algorithm>
#include <ctime>
#include <set>
#include <utility>

namespace tovix::server {

std::optional<std::string> Store::owner_of(const std::string& host) {
    std::lock_guard<std::mutex> lock(mutex_);
    const SqlRows r = db_->query("SELECT account FROM account_hosts WHERE host = ?1", {host});
    if (r.empty())
        return std::nullopt;
    return r.text(0, 0);
}

std::optional<AccountRecord> Store::account(const std::string& name) {
    const std::unique_lock<std::mutex> lock = lock_for_request();
    const SqlRows r = db_->query("SELECT a.password_hash, h.host, a.admin FROM accounts a"
                                 " LEFT JOIN account_hosts h ON h.account = a.name"
                                 " WHERE a.name = ?1 ORDER BY h.host",
                                 {name});
    if (r.empty())
        return std::nullopt;
    AccountRecord out{name, r.text(0, 0), {}, r.integer(0, 2) != 0};
    for (std::size_t i = 0; i < r.rows.size(); ++i) {
        if (std::string host = r.text(i, 1); !host.empty())
            out.hosts.push_back(std::move(host));
    }
    std::sort(out.hosts.begin(), out.hosts.end()); // bytewise, whatever the collation
    return out;
}

// Refuses a host no account may own (see add_account). Every lookup but
// the one for names under `host` goes by an index.
void Store::check_ownable(const std::string& host, const std::string& account) {
    for (std::size_t dot = 0; dot != std::string::npos; dot = host.find('.', dot + 1)) {
        const std::string zone = dot == 0 ? host : host.substr(dot + 1);
        if (!db_->query("SELECT 1 FROM domains WHERE name = ?1", {zone}).empty()) {
            if (zone == host)
                throw HostRefused(HostRefused::Why::Apex, host, zone, "",
                                  host + " is the apex of a zone");
            if (!db_->query("SELECT 1 FROM records WHERE name = ?1 AND type = 'NS'"
                            " AND content = ?2",
                            {zone, host})
                     .empty())
                throw HostRefused(HostRefused::Why::NameServer, host, zone, "",
                                  host + " is a name server of the zone " + zone);
        }
        const SqlRows owner =
            db_->query("SELECT host, account FROM account_hosts WHERE host = ?1 AND account <> ?2",
                       {zone, account});
        if (!owner.empty())
            throw HostRefused(
                zone == host ? HostRefused::Why::Taken : HostRefused::Why::Under, host, zone,
                owner.text(0, 1),
                zone == host ? "host " + host + " belongs to account " + owner.text(0, 1)
                             : host + " lies under " + zone + " of account " + owner.text(0, 1));
    }
    const SqlRows under = db_->query(
        "SELECT host, account FROM account_hosts WHERE host LIKE ?1 AND account <> ?2 LIMIT 1",
        {"%." + host, account});
    if (!under.empty())
        throw HostRefused(HostRefused::Why::Over, host, under.text(0, 0), under.text(0, 1),
                          under.text(0, 0) + " of account " + under.text(0, 1) + " lies under " +
                              host);
}

void Store::write_hosts_of(const std::string& name, const std::vector<std::string>& hosts) {
    std::vector<std::string> dropped;
    const SqlRows before = db_->query("SELECT host FROM account_hosts WHERE account = ?1", {name});
    for (std::size_t i = 0; i < before.rows.size(); ++i) {
        if (!std::binary_search(hosts.begin(), hosts.end(), before.text(i, 0)))
            dropped.push_back(before.text(i, 0));
    }
    std::set<std::string> kept;
    for (std::size_t i = 0; i < before.rows.size(); ++i)
        kept.insert(before.text(i, 0));
    db_->query("DELETE FROM account_hosts WHERE account = ?1", {name});
    for (const std::string& host : hosts) {
        check_ownable(host, name);
        db_->query("INSERT INTO account_hosts (host, account) VALUES (?1, ?2)", {host, name});
        if (kept.count(host))
            continue;
        add_history(host, std::time(nullptr),
                    {0, "owner", "-", "account " + name, {"", "", false, "operator"}});
        log_change("host+", name, host);
    }
    for (const std::string& host : dropped)
        log_change("host-", name, host);
    withdraw(dropped);
}

// Forgets hosts that left their account: their row, what the store kept of
// them (a follower stops following; a router's followers follow nobody and
// keep their addresses), and their address, mail and challenge records in
// their zone, whose serial moves on.
void Store::withdraw(const std::vector<std::string>& hosts) {
    std::set<std::pair<std::string, std::int64_t>> zones;
    for (const std::string& name : hosts) {
        const SqlRows h = db_->query(
            "SELECT d.name, d.id FROM hosts h JOIN domains d ON d.name = h.zone WHERE h.name = ?1",
            {name});
        db_->query("DELETE FROM hosts WHERE name = ?1", {name});
        release_followers(name, std::time(nullptr));
        forget_host_data(name);
        const std::string challenge = "_acme-challenge." + name;
        const SqlRows txt =
            db_->query("SELECT DISTINCT d.name, d.id FROM records r JOIN domains d"
                       " ON d.id = r.domain_id WHERE r.name = ?1 AND r.type = 'TXT'",
                       {challenge});
        for (std::size_t i = 0; i < txt.rows.size(); ++i) {
            zones.emplace(txt.text(i, 0), txt.integer(i, 1));
            changed_challenge(name, txt.text(i, 0));
        }
        db_->query("DELETE FROM records WHERE name = ?1 AND type = 'TXT'", {challenge});
        if (h.empty())
            continue;
        if (unpublish(name, h.integer(0, 1))) {
            zones.emplace(h.text(0, 0), h.integer(0, 1));
            changed_name(name, h.text(0, 0), true);
        }
    }
    for (const auto& [zone, id] : zones) {
        lock_zone(zone, id);
        bump_serial(zone, id);
    }
}

bool Store::account_exists(const std::string& name) {
    return !db_->query("SELECT 1 FROM accounts WHERE name = ?1", {name}).empty();
}

bool Store::add_account(const AccountRecord& account) {
    return account_change([&] {
        if (account_exists(account.name))
            return false;
        db_->query("INSERT INTO accounts (name, password_hash, admin) VALUES (?1, ?2, ?3)",
                   {account.name, account.password_hash, std::int64_t{account.admin}});
        log_change("account+", account.name, "");
        write_hosts_of(account.name, account.hosts);
        return true;
    });
}

bool Store::set_password(const std::string& name, const std::string& hash) {
    return account_change([&] {
        if (db_->query("UPDATE accounts SET password_hash = ?2 WHERE name = ?1", {name, hash})
                .changed == 0)
            return false;
        db_->query("DELETE FROM tovix_sessions WHERE account = ?1", {name});
        log_change("password", name, "");
        return true;
    });
}

bool Store::set_hosts(const std::string& name, const std::vector<std::string>& hosts) {
    return account_change([&] {
        if (!account_exists(name))
            return false;
        log_change("hosts", name, "");
        write_hosts_of(name, hosts);
        return true;
    });
}

bool Store::remove_account(const std::string& name) {
    return account_change([&] {
        if (!account_exists(name))
            return false;
        write_hosts_of(name, {});
        db_->query("DELETE FROM tovix_sessions WHERE account = ?1", {name});
        db_->query("DELETE FROM accounts WHERE name = ?1", {name});
        log_change("account-", name, "");
        return true;
    });
}

bool Store::set_admin(const std::string& name, bool admin) {
    return account_change([&] {
        if (db_->query("UPDATE accounts SET admin = ?2 WHERE name = ?1",
                       {name, std::int64_t{admin}})
                .changed == 0)
            return false;
        log_change("admin", name, "");
        return true;
    });
}

} // namespace tovix::server
