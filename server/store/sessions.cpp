// The web page's sessions. Only the digest of a session's id is stored:
// whoever reads the database cannot sign in with it. Being in the database,
// a session is known to every server on it.
#include "store/store.h"

namespace tovix::server {

bool Store::add_session(const std::string& digest, const std::string& account, std::int64_t now) {
    std::lock_guard<std::mutex> lock(mutex_);
    return transaction(Begin::Write, [&] {
        if (!account_exists(account))
            return false;
        db_->query("DELETE FROM tovix_sessions WHERE last_seen < ?1 OR created < ?2",
                   {now - kSessionIdle, now - kSessionLifetime});
        db_->query("INSERT INTO tovix_sessions (digest, account, created, last_seen)"
                   " VALUES (?1, ?2, ?3, ?3)",
                   {digest, account, now});
        return true;
    });
}

// A session used within the last minute keeps its mark: a page with its
// stylesheet costs one read, not a write each.
std::optional<SessionRecord> Store::session(const std::string& digest, std::int64_t now) {
    std::lock_guard<std::mutex> lock(mutex_);
    const SqlRows r = db_->query("SELECT account, created, last_seen FROM tovix_sessions"
                                 " WHERE digest = ?1 AND last_seen >= ?2 AND created >= ?3",
                                 {digest, now - kSessionIdle, now - kSessionLifetime});
    if (r.empty())
        return std::nullopt;
    SessionRecord s{r.text(0, 0), r.integer(0, 1), r.integer(0, 2)};
    if (now - s.last_seen >= 60) {
        db_->query("UPDATE tovix_sessions SET last_seen = ?2 WHERE digest = ?1", {digest, now});
        s.last_seen = now;
    }
    return s;
}

void Store::end_session(const std::string& digest) {
    std::lock_guard<std::mutex> lock(mutex_);
    db_->query("DELETE FROM tovix_sessions WHERE digest = ?1", {digest});
}

} // namespace tovix::server
