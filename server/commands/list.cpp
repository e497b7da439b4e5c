// `tovix-server list`: the stored hosts, one tab-separated line each, a page
// at a time.
#include "base/strings.h"
#include "commands/commands.h"
#include "commands/listing.h"
#include "store/store.h"

#include <ctime>
#include <map>
#include <ostream>

namespace tovix::server {

namespace {

// One tab-separated line per host.
void write_hosts(std::ostream& out, const std::vector<Host>& hosts,
                 const std::map<std::string, Activity>& activity) {
    for (const Host& h : hosts) {
        out << escape_field(h.name) << '\t' << escape_field(h.account) << '\t' << or_dash(h.ipv4)
            << '\t' << or_dash(h.ipv6) << '\t' << (h.wildcard ? "ON" : "OFF") << '\t'
            << or_dash(h.mx) << '\t' << (h.backmx ? "YES" : "NO") << '\t'
            << (h.offline ? "YES" : "NO") << '\t' << time_or_dash(h.updated_at) << '\t';
        auto a = activity.find(h.name);
        const Activity none;
        out << describe_activity(a == activity.end() ? none : a->second) << '\n';
    }
}

} // namespace

int list_hosts(const std::string& db_path, std::ostream& out, std::ostream& err,
               const std::string& pdns_schema, const Listing& listing) {
    try {
        Store store(db_path, Store::Mode::Existing, StoreOptions{{}, kDefaultTtl, pdns_schema});
        out << "host\taccount\tipv4\tipv6\twildcard\tmx\tbackmx\toffline\tupdated\tlast seen"
               "\tfaults\n";
        return print_pages(listing, out, err, [&](const PageQuery& query) {
            const std::vector<Host> hosts = store.hosts_page(query);
            std::vector<std::string> names;
            for (const Host& h : hosts)
                names.push_back(h.name);
            write_hosts(out, hosts, store.activity(names));
            return std::pair(hosts.size(), names.empty() ? std::string() : names.back());
        });
    } catch (const StoreError& e) {
        err << "tovix-server: cannot read hosts: " << e.what() << '\n';
        return 1;
    }
}

} // namespace tovix::server
