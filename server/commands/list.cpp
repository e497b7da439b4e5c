// `tovix-server list`: the stored hosts, one tab-separated line each.
#include "base/strings.h"
#include "commands/commands.h"
#include "commands/listing.h"
#include "store/store.h"

#include <ctime>
#include <map>
#include <ostream>

namespace tovix::server {

namespace {

// The listing printed by `tovix-server list`: a header line, then one
// tab-separated line per host.
void write_hosts(std::ostream& out, const std::vector<Host>& hosts,
                 const std::map<std::string, Activity>& activity) {
    out << "host\taccount\tipv4\tipv6\twildcard\tmx\tbackmx\toffline\tupdated\tlast seen"
           "\tfaults\n";
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
               const std::string& pdns_schema) {
    try {
        Store store(db_path, Store::Mode::Existing, StoreOptions{{}, kDefaultTtl, pdns_schema});
        // One line per host an account owns, updated or not yet.
        std::map<std::string, Host> owned;
        for (Host& h : store.hosts())
            owned.emplace(h.name, std::move(h));
        for (const AccountRecord& a : store.accounts())
            for (const std::string& name : a.hosts)
                if (!owned.count(name)) {
                    Host h;
                    h.name = name;
                    h.account = a.name;
                    owned.emplace(name, std::move(h));
                }
        std::vector<Host> hosts;
        for (auto& [name, h] : owned)
            hosts.push_back(std::move(h));
        write_hosts(out, hosts, store.activity());
        return finished(out);
    } catch (const StoreError& e) {
        err << "tovix-server: cannot read hosts: " << e.what() << '\n';
        return 1;
    }
}

} // namespace tovix::server
