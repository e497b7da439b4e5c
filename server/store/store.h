// The store: one database (an SQLite file, or PostgreSQL shared by several
// servers) holding PowerDNS's generic SQL schema (the zones and their
// records, which pdns_server serves straight from it) beside the service's
// own tables (each host's addresses and settings, the accounts). An
// accepted update changes both in one transaction, so what DNS answers is
// always what the update server answered for. All of the service's SQL is
// in the store's files: store.cpp (updates, publishing, serials),
// layout.cpp (tables, opening) and accounts.cpp; the connection under it
// (database.h) runs that SQL and says what its database can do.
#pragma once

#include "base/prefix.h"
#include "dns/zone.h"
#include "store/database.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tovix::server {

// Who asked for a change: kept with each change in the host's history.
struct Origin {
    std::string caller; // the client's address
    std::string user_agent;
    bool https = false;
    std::string credential; // "account NAME" or "token ID"
};

// One host's part of an update request. Unset options keep the stored value
// (or the default for a new host); an unset address keeps that family's.
struct Update {
    std::string host;
    std::string account;
    std::string zone; // the served zone the host lies in
    std::optional<std::string> ipv4;
    std::optional<std::string> ipv6;
    std::optional<bool> wildcard;
    std::optional<std::string> mx; // empty: no mail exchanger
    std::optional<bool> backmx;
    bool offline = false; // every update states it; absent means online
    Origin origin;
    // Only asks whose the host is (Applied::elsewhere); writes nothing.
    bool probe = false;
    // A router's LAN prefix: the hosts that follow it (Store::follow) take
    // it, with their suffixes, as their IPv6 address in the same
    // transaction; one whose suffix overlaps it refuses the request.
    std::optional<Ipv6Prefix> prefix;
    // The updates of one request share a number (the committer's): one
    // refused refuses them all. 0: an update alone.
    std::uint64_t request = 0;
    // Set by the store on the update of a follower: its router.
    std::string router;
};

// A host that follows a router's LAN prefix: its IPv6 address is the
// router's latest prefix with the suffix behind it.
struct Follow {
    std::string host, router;
    std::string suffix; // canonical IPv6 text (parse_suffix, mac_suffix)
};

// What follow() did. A host follows a router of its own account, never
// itself; a router follows nobody, and a follower is followed by nobody; a
// router has at most kMaxFollowers; the suffix must fit behind the router's
// latest prefix.
inline constexpr std::int64_t kMaxFollowers = 256;
enum class FollowResult {
    Done,
    NotOwned,
    Itself,
    RouterFollows,
    HostFollowed,
    Full,
    SuffixOverlaps
};

// A host's place among routers and followers, for its page.
struct FollowState {
    std::optional<Follow> follows;
    std::vector<Follow> followers; // ordered by host
    std::string prefix;            // its latest LAN prefix ("ADDR/LEN"); empty: none
};

// An update token: a random secret that updates one host. Only its digest
// (token_digest) is stored; the token itself is shown once.
struct TokenRecord {
    std::string host;
    std::int64_t id = 0; // per host
    std::string digest;
    std::string label;
    std::int64_t created = 0;
    std::int64_t last_used = 0; // 0: never
};

// What add_token made: the new token's id; none (0) when no account owns
// the host, or when it has kMaxTokensPerHost tokens already (`full`).
inline constexpr std::int64_t kMaxTokensPerHost = 20;
struct NewToken {
    std::int64_t id = 0;
    bool full = false;
    explicit operator bool() const { return id != 0; }
};

// One accepted change of a host, newest first in history(). `before` and
// `after` name the settings that changed ("A=192.0.2.1 wildcard=OFF").
struct HistoryEntry {
    std::int64_t time = 0;
    std::string what; // "new", "address", "settings", "offline", "online", "owner"
    std::string before, after;
    Origin origin;
};

// What a host saw besides its changes: the last accepted request (a nochg
// included), and the refused ones that named it. Written in batches, as
// deltas: counts add up, times keep the latest, across every server.
struct Activity {
    std::int64_t seen_at = 0; // 0: never
    std::string seen_caller, seen_agent;
    std::int64_t badauth = 0, throttled = 0, malformed = 0;
    std::int64_t fault_at = 0;                       // the last refusal; 0: none
    std::map<std::int64_t, std::int64_t> token_uses; // token id -> last use
    std::int64_t faults() const { return badauth + throttled + malformed; }
};

// An ACME DNS-01 challenge, as set_challenge() takes it.
enum class ChallengeResult { Set, NotOwned, NoZone };

// An account as stored: its name, the Argon2id string of its password and
// the hosts it may update.
struct AccountRecord {
    std::string name;
    std::string password_hash;
    std::vector<std::string> hosts; // normalized, sorted
    bool admin = false;             // may use the web page's operator pages
};

// One row of the change log: what an account change touched. Every
// transaction that changes accounts, their hosts or tokens takes the next
// sequence number and writes a row for each account and host it touched,
// so that each server forgets only those from what it keeps in memory.
struct AccountChange {
    std::int64_t seq = 0;
    // "account+", "account-" (added, removed), "password", "admin", "hosts"
    // (of `account`); "host+", "host-" (`host` joined or left `account`);
    // "tokens" (of `host`, whose owner is `account`).
    std::string what;
    std::string account, host;
};

// What account_changes() read: the rows after a sequence number, up to
// `seq`. `gap`: rows between were pruned (or the log started afresh), so
// whoever read up to the old number must forget everything it keeps.
struct ChangeFeed {
    std::int64_t seq = 0;
    std::vector<AccountChange> changes;
    bool gap = false;
};

// Accounts and their hosts, counted once (account_counts), at sequence
// number `seq`; the change log's "+" and "-" rows carry the counts on.
struct AccountCounts {
    std::int64_t accounts = 0, hosts = 0, seq = 0;
};

// A page of a listing (accounts, hosts) in the order of their names' bytes:
// names that start with `prefix`, after `after` (empty: from the first).
struct PageQuery {
    std::string prefix;
    std::string after;
    std::size_t limit = 100;
};
inline constexpr std::size_t kMaxPage = 100;

// A signed-in session of the web page, found by the digest of its id.
struct SessionRecord {
    std::string account;
    std::int64_t created = 0, last_seen = 0;
};

// How long a session lives: idle, and at most.
inline constexpr std::int64_t kSessionIdle = 30 * 60;
inline constexpr std::int64_t kSessionLifetime = 12 * 3600;

// What apply() did with one update.
struct Applied {
    bool owned = true;      // false: the host is no longer the account's (nothing done)
    bool elsewhere = false; // not owned: another account owns the host
    bool refused = false;   // a follower's suffix overlaps the request's prefix (nothing done)
    bool changed = false;   // some stored setting changed, or the host is new
    std::string ipv4, ipv6; // what the host holds now
};

struct StoreOptions {
    StoreOptions(std::vector<std::string> zones = {}, int ttl = kDefaultTtl,
                 std::string pdns_schema = {}, std::size_t history = 100)
        : zones(std::move(zones)), ttl(ttl), history(history), pdns_schema(std::move(pdns_schema)) {
    }

    // Zones to serve: created with SOA and NS when missing. Hosts inside
    // them that have no zone yet (rows migrated from the old layout) are
    // published when the store opens.
    std::vector<std::string> zones;
    int ttl;                   // of every record the store writes
    std::size_t history = 100; // changes kept per host
    // PowerDNS's schema, for a database that has none of its tables yet;
    // empty: the file the PowerDNS backend package installs.
    std::string pdns_schema;
};

class Store {
  public:
    enum class Mode { Create, Existing };

    // Opens (or creates) the database: `where` is an SQLite file or a
    // postgresql:// URI. Migrates a file written by the earlier one-table
    // layout, and sets up the zones. Throws StoreError; then nothing has
    // changed in the database. Mode::Existing makes no SQLite file.
    explicit Store(const std::string& where, Mode mode = Mode::Create, StoreOptions options = {});
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Applies the updates in order, with their DNS records and the zones'
    // new serials, in one transaction that is on disk when this returns.
    // Element i of the result tells what became of update i: an update of a
    // host its account no longer owns is left out; one that changes nothing
    // writes nothing (the host keeps its updated_at); when none of them
    // changes anything nothing is written and nothing synced. Throws
    // StoreError; nothing is applied then.
    std::vector<Applied> apply(const std::vector<Update>& updates, std::int64_t now);

    // Hosts as stored: one, several by name (in no particular order); and a
    // page of the hosts the accounts own, ordered by name (one never updated
    // with its name and account alone).
    std::optional<Host> host(const std::string& name);
    std::vector<Host> hosts(const std::vector<std::string>& names);
    std::vector<Host> hosts_page(const PageQuery& page);

    // Whether this open made the accounts table (a new file, or one of an
    // earlier layout): the place for a built-in account.
    bool accounts_created() const { return accounts_created_; }

    // The change log (accounts.cpp). account_changes() reads the rows after
    // sequence number `after` (at most kChangesPerRead numbers at a time);
    // prune_account_changes() drops rows older than kChangesKept seconds.
    static constexpr std::int64_t kChangesPerRead = 256;
    static constexpr std::int64_t kChangesKept = 3600;
    ChangeFeed account_changes(std::int64_t after);
    void prune_account_changes(std::int64_t now);
    AccountCounts account_counts(); // counts every row: once, at the start
    // The account owning `host`, if any; those of `hosts` an account owns.
    std::optional<std::string> owner(const std::string& host);
    std::vector<std::string> owned(const std::vector<std::string>& hosts);
    // One account, or a page of them, ordered by name.
    std::optional<AccountRecord> account(const std::string& name);
    std::vector<AccountRecord> accounts_page(const PageQuery& page);
    // Hosts that lie outside every zone of `zones`, of the at most `chunk`
    // owned hosts after `after` (by name): *next is the last host looked
    // at, empty when none was left. Reads every owned host, chunk by chunk.
    std::vector<std::pair<std::string, std::string>>
    hosts_outside(const std::vector<std::string>& zones, const std::string& after,
                  std::size_t chunk, std::string* next);
    // The account that owns `host`, if any (one lookup by an index).
    std::optional<std::string> owner_of(const std::string& host);
    // Each is one transaction. False: the account exists (add) or does not
    // (the others). A host no account may own throws StoreError: a zone's
    // apex or one of its name servers, a host of another account, or a name
    // at or under one (a wildcard of one would answer for the other). A
    // host that leaves an account (set_hosts, remove_account) is forgotten
    // and its records withdrawn, with a new serial for its zone.
    bool add_account(const AccountRecord& account);
    bool set_password(const std::string& name, const std::string& hash);
    bool set_hosts(const std::string& name, const std::vector<std::string>& hosts);
    bool remove_account(const std::string& name);
    bool set_admin(const std::string& name, bool admin);

    // Web sessions (sessions.cpp), kept in the database so that every
    // server on it knows them. session() finds a live one (kSessionIdle,
    // kSessionLifetime) and marks it used; a password change, the account's
    // removal and end_session() end them. add_session drops the expired.
    bool add_session(const std::string& digest, const std::string& account, std::int64_t now);
    std::optional<SessionRecord> session(const std::string& digest, std::int64_t now);
    void end_session(const std::string& digest);

    // Update tokens (tokens.cpp), at most kMaxTokensPerHost a host; each
    // change is an account change (a "tokens" row of the change log).
    NewToken add_token(const std::string& host, const std::string& digest, const std::string& label,
                       std::int64_t now);
    std::vector<TokenRecord> tokens(const std::string& host); // by id
    std::optional<TokenRecord> token(const std::string& digest);
    bool remove_token(const std::string& host, std::int64_t id);

    // Routers and their followers (follows.cpp). `account`: the one both
    // hosts must belong to; empty: any, as long as it is the same. A host
    // that follows is moved at once when its router's prefix is known.
    // unfollow() leaves the addresses as they are; false when the host
    // followed nobody (of the account).
    FollowResult follow(const Follow& follow, const std::string& account, const Origin& origin,
                        std::int64_t now);
    bool unfollow(const std::string& host, const std::string& account, const Origin& origin,
                  std::int64_t now);
    FollowState follow_state(const std::string& host);

    // History and activity (history.cpp).
    std::vector<HistoryEntry> history(const std::string& host, std::size_t limit);
    // Writes the deltas in short transactions (about kActivitySlice each),
    // so that no update waits long for the store meanwhile; each written
    // leaves `deltas` (after a StoreError it holds what was not written).
    static constexpr std::chrono::milliseconds kActivitySlice{5};
    static constexpr std::size_t kActivityHosts = 128, kActivityLeast = 64, kActivityRows = 32;
    void record_activity(std::map<std::string, Activity>& deltas);
    std::map<std::string, Activity> activity(const std::vector<std::string>& hosts);

    // The TXT record of an ACME DNS-01 challenge at _acme-challenge.HOST:
    // the two newest values are served, none older than `max_age` seconds.
    ChallengeResult set_challenge(const std::string& host, const std::string& value,
                                  std::int64_t now, std::int64_t max_age = 86400);
    // Withdraws the values older than `max_age`; returns their hosts.
    std::vector<std::string> expire_challenges(std::int64_t now, std::int64_t max_age = 86400);
    // The DNS names each committed transaction changed, as purge arguments
    // (see DnsPurger): "HOST" for a host's records, "_acme-challenge.HOST"
    // for its challenge's, "ZONE" for the apex of a zone whose serial
    // moved; for a host whose wildcard is or was on, "*.HOST" and "HOST$"
    // (every name under it) as well. `sink` hears them right after the
    // commit, on the committing thread, before the call that wrote
    // returns. Where the database can (PostgreSQL's NOTIFY), the
    // transaction itself also tells them to every other server on it
    // (ChangeListener, store/changes.h), tagged with origin().
    using NamesSink = std::function<void(const std::vector<std::string>& names)>;
    void on_changed_names(NamesSink sink);
    const std::string& origin() const { return origin_; }
    // Tells the sink and the other servers of names changed outside the
    // store (pdnsutil signing a zone), in a transaction of their own.
    void announce(const std::vector<std::string>& names);

    // Zones (store/zones.cpp). Whether the zone is in the database; whether
    // it asked to be signed (a mark that `zone secure --requested` reads);
    // whether PowerDNS holds keys for it.
    bool has_zone(const std::string& zone);
    void request_dnssec(const std::string& zone);
    bool has_keys(const std::string& zone);
    // The zones that asked to be signed and hold no keys yet.
    std::vector<std::string> unsigned_requests();

  private:
    // How a transaction begins: to write (the database's write lock), or
    // only to read.
    enum class Begin { Read, Write };
    bool transaction(Begin begin, const std::function<bool()>& work);
    void open_layout(const StoreOptions& options);
    void make_tables(const std::string& pdns_schema);
    void serve_zones(const std::vector<std::string>& zones);
    void migrate_legacy();
    std::vector<Host> hosts_where(const std::string& clause, const std::vector<SqlValue>& values);
    std::int64_t zone_id(const std::string& zone);
    void create_zone(const std::string& zone);
    void lock_zones();
    void lock_zone(const std::string& zone, std::int64_t zone_id);
    void save_host(const Host& host);
    // A row publish() owns: its id and its record.
    struct PublishedRow {
        std::int64_t id;
        DnsRecord record;
        // Whether the rows hold `records` (sorted alike); `shape_only`: the
        // same names and types, whatever the contents.
        static bool same(const std::vector<PublishedRow>& rows,
                         const std::vector<DnsRecord>& records, bool shape_only);
        // Row i of "SELECT id, name, type, content, ttl, prio".
        static PublishedRow at(const SqlRows& r, std::size_t i);
        static void sort(std::vector<PublishedRow>& rows); // by record
    };
    std::vector<PublishedRow> published_rows(const Host& host);
    // What the hosts of one batch have stored, read ahead (batch.cpp).
    struct Prefetched {
        std::map<std::string, Host> hosts;
        // By record name: (zone id, row).
        std::map<std::string, std::vector<std::pair<std::int64_t, PublishedRow>>> records;
        std::map<std::string, std::string> owners; // host -> account
        std::set<std::string> rewritten;           // hosts whose records the batch wrote
        // Of the routers that send a prefix: their followers, their latest prefix.
        std::map<std::string, std::vector<Follow>> followers;
        std::map<std::string, std::string> prefixes;
        std::vector<std::string> names; // every host above, sorted
        // The latest history number of each of them, read for all at the
        // first change the batch writes, counted on as it writes more.
        std::map<std::string, std::int64_t> history_seq;
        bool history_read = false;
        std::optional<Host> host(const std::string& name) const;
        const std::vector<Follow>& followers_of(const std::string& router) const;
    };
    Prefetched prefetch(const std::vector<Update>& updates);
    void prefetch_followers(Prefetched& batch, const std::vector<std::string>& routers);
    std::vector<PublishedRow> rows_of(const Prefetched& batch, const Host& host);
    // What a batch does: the updates given, then those of the followers
    // their prefixes move; which given ones are refused; the routers whose
    // latest prefix changes.
    struct Work {
        std::vector<Update> updates;
        std::vector<bool> refused; // of the given ones
        std::map<std::string, std::string> prefixes;
        bool refused_at(std::size_t i) const { return i < refused.size() && refused[i]; }
    };
    Work plan_work(const Prefetched& batch, const std::vector<Update>& given);
    std::optional<Update> follower_update(const Prefetched& batch, const Follow& follow,
                                          const Ipv6Prefix& prefix, const std::string& account,
                                          Origin origin);
    void save_prefixes(const std::map<std::string, std::string>& prefixes);
    Applied write_update(Prefetched& batch, const Update& u, std::int64_t now,
                         std::set<std::string>* changed_zones);
    // Followers (follows.cpp).
    FollowResult check_follow(const Follow& follow, const std::string& account, std::string* owner);
    std::optional<std::pair<std::string, std::int64_t>> database_zone(const std::string& host);
    void move_follower(const Follow& follow, const std::string& account, const Origin& origin,
                       std::int64_t now);
    void release_followers(const std::string& router, std::int64_t now);
    bool publish(const Host& host);
    bool publish(const Host& host, const std::vector<PublishedRow>& present);
    bool unpublish(const std::string& host, std::int64_t zone_id);
    Host merge(const Update& u, const std::optional<Host>& old, std::int64_t now);
    bool up_to_date(const std::optional<Host>& old, const Host& h,
                    const std::vector<PublishedRow>& present);
    void bump_serial(const std::string& zone);
    void bump_serial(const std::string& zone, std::int64_t zone_id);
    std::optional<std::vector<Applied>> unchanged(const std::vector<Update>& updates);
    Applied judge(const Prefetched& batch, const Update& u, std::int64_t now, Host* host,
                  bool* current);
    bool account_exists(const std::string& name);
    void check_ownable(const std::string& host, const std::string& account);
    void write_hosts_of(const std::string& name, const std::vector<std::string>& hosts);
    void withdraw(const std::vector<std::string>& hosts);
    bool account_change(const std::function<bool()>& change);
    void log_change(const std::string& what, const std::string& account, const std::string& host);
    std::string page_where(const char* column, const PageQuery& page,
                           std::vector<SqlValue>* values) const;
    void add_history(const std::string& host, std::int64_t now, const HistoryEntry& entry);
    void add_history(Prefetched& batch, const std::string& host, std::int64_t now,
                     const HistoryEntry& entry);
    void write_history(const std::string& host, std::int64_t seq, std::int64_t now,
                       const HistoryEntry& entry);
    void forget_host_data(const std::string& host);
    using ActivityIt = std::map<std::string, Activity>::const_iterator;
    void write_activity(ActivityIt first, ActivityIt last);
    bool publish_challenges(const std::string& host, std::int64_t zone_id);
    std::optional<std::pair<std::string, std::int64_t>> served_zone(const std::string& host);
    void changed_name(const std::string& host, const std::string& zone, bool wildcard);
    void changed_challenge(const std::string& host, const std::string& zone);
    void announce_changes();
    void tell_changes();

    // The connection for a request's work (an update, a lookup): counted
    // while it waits, so that the activity write gives way at once.
    std::unique_lock<std::mutex> lock_for_request();

    std::mutex mutex_; // one connection, shared by all request threads
    std::atomic<int> requests_waiting_{0};
    bool last_batch_changed_ = false; // under mutex_: apply() skips its read-only check
    std::unique_ptr<Database> db_;
    int ttl_ = kDefaultTtl;
    std::size_t history_size_ = 100;
    std::vector<std::string> served_zones_;
    std::map<std::string, std::int64_t> zone_ids_;
    bool accounts_created_ = false;
    const std::string origin_;
    std::set<std::string> changed_names_; // by the open transaction
    // The SOA rows (id, content) the open transaction holds locked, by zone.
    std::map<std::string, std::pair<std::int64_t, std::string>> locked_soas_;
    std::int64_t change_seq_ = 0; // of the open account change; 0: none
    NamesSink sink_;
};

} // namespace tovix::server
