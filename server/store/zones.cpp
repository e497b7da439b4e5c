// Zones beyond their records: which ones asked to be signed (a metadata
// row of PowerDNS's own table, of a kind PowerDNS leaves to its users), and
// whether PowerDNS holds keys for them; and the names each transaction
// changed, told to the sink and, through NOTIFY, to the other servers.
#include "store/changes.h"
#include "store/store.h"

namespace tovix::server {

namespace {

// PowerDNS ignores metadata kinds that begin with X-.
const char* const kSignKind = "X-TOVIX-SIGN";

} // namespace

void Store::on_changed_names(NamesSink sink) {
    std::lock_guard<std::mutex> lock(mutex_);
    sink_ = std::move(sink);
}

// A host's records changed in `zone`: the host, and the zone's apex, whose
// serial moves. With `wildcard` (the host answers, or answered, for every
// name under it; true when not known) its wildcard's own name too, and
// every name under the host: what the wildcard answered is cached under
// each name asked.
void Store::changed_name(const std::string& host, const std::string& zone, bool wildcard) {
    changed_names_.insert(host);
    changed_names_.insert(zone);
    if (wildcard) {
        changed_names_.insert("*." + host);
        changed_names_.insert(host + "$");
    }
}

// A host's challenge TXT records changed: their one name, and the apex.
void Store::changed_challenge(const std::string& host, const std::string& zone) {
    changed_names_.insert("_acme-challenge." + host);
    changed_names_.insert(zone);
}

// Inside the transaction, before COMMIT: PostgreSQL sends the notification
// when (and only when) the transaction commits. It goes out with the
// transaction's other writes, without a round trip of its own.
void Store::announce_changes() {
    if ((changed_names_.empty() && !change_seq_) || !db_->has_notify())
        return;
    std::vector<std::string> names(changed_names_.begin(), changed_names_.end());
    if (change_seq_)
        names.push_back(kAccountsNews + std::to_string(change_seq_));
    for (const std::string& payload : change_payloads(origin_, names))
        db_->write("SELECT pg_notify(?1, ?2)", {kChangesChannel, payload});
}

void Store::tell_changes() {
    if (!changed_names_.empty() && sink_)
        sink_({changed_names_.begin(), changed_names_.end()});
    changed_names_.clear();
}

void Store::announce(const std::vector<std::string>& names) {
    std::lock_guard<std::mutex> lock(mutex_);
    transaction(Begin::Read, [&] {
        changed_names_.insert(names.begin(), names.end());
        return true;
    });
}

bool Store::has_zone(const std::string& zone) {
    std::lock_guard<std::mutex> lock(mutex_);
    return !db_->query("SELECT 1 FROM domains WHERE name = ?1", {zone}).empty();
}

void Store::request_dnssec(const std::string& zone) {
    std::lock_guard<std::mutex> lock(mutex_);
    transaction(Begin::Write, [&] {
        const SqlRows d = db_->query("SELECT id FROM domains WHERE name = ?1", {zone});
        if (d.empty())
            throw StoreError("zone " + zone + " is not in the database");
        const std::int64_t id = d.integer(0, 0);
        if (db_->query("SELECT 1 FROM domainmetadata WHERE domain_id = ?1 AND kind = ?2",
                       {id, kSignKind})
                .empty())
            db_->query("INSERT INTO domainmetadata (domain_id, kind, content) VALUES (?1, ?2, '1')",
                       {id, kSignKind});
        return true;
    });
}

bool Store::has_keys(const std::string& zone) {
    std::lock_guard<std::mutex> lock(mutex_);
    return !db_->query("SELECT 1 FROM cryptokeys c JOIN domains d ON d.id = c.domain_id"
                       " WHERE d.name = ?1",
                       {zone})
                .empty();
}

std::vector<std::string> Store::unsigned_requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    const SqlRows r = db_->query(
        "SELECT d.name FROM domains d JOIN domainmetadata m ON m.domain_id = d.id"
        " WHERE m.kind = ?1 AND NOT EXISTS (SELECT 1 FROM cryptokeys c WHERE c.domain_id = d.id)"
        " ORDER BY d.name",
        {kSignKind});
    std::vector<std::string> out;
    for (std::size_t i = 0; i < r.rows.size(); ++i)
        out.push_back(r.text(i, 0));
    return out;
}

} // namespace tovix::server
