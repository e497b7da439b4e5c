// The listings' shared pieces.
#include "commands/listing.h"

#include "base/strings.h"
#include "dns/names.h"

#include <ctime>
#include <ostream>

namespace tovix::server {

std::string time_or_dash(std::int64_t t) {
    return t ? format_utc(static_cast<std::time_t>(t)) : "-";
}

std::string or_dash(const std::string& text) {
    return text.empty() ? "-" : escape_field(text);
}

std::optional<std::string> host_argument(const std::string& raw, std::ostream& err) {
    std::string host = normalize_host(raw);
    if (!is_fqdn(host)) {
        err << "tovix-server: '" << raw << "' is not a fully qualified host name\n";
        return std::nullopt;
    }
    return host;
}

std::string describe_activity(const Activity& a) {
    std::string seen = a.seen_at ? time_or_dash(a.seen_at) + " from " + or_dash(a.seen_caller) +
                                       " (" + or_dash(a.seen_agent) + ")"
                                 : "-";
    std::string faults = "-";
    if (a.faults())
        faults = std::to_string(a.faults()) + " (badauth " + std::to_string(a.badauth) +
                 ", throttled " + std::to_string(a.throttled) + ", malformed " +
                 std::to_string(a.malformed) + "; last " + time_or_dash(a.fault_at) + ")";
    return seen + '\t' + faults;
}

Store existing_store(const Config& config) {
    return Store(config.db_path, Store::Mode::Existing,
                 StoreOptions{{}, kDefaultTtl, config.pdns_schema});
}

int on_store(std::ostream& err, const std::function<int()>& work) {
    try {
        return work();
    } catch (const StoreError& e) {
        err << "tovix-server: " << e.what() << '\n';
        return 1;
    }
}

int finished(std::ostream& out) {
    out.flush();
    return out ? 0 : 1;
}

} // namespace tovix::server
