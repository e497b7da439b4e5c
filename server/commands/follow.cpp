// `tovix-server host follow|unfollow|followers`: hosts whose IPv6 address
// follows a router's LAN prefix. The store keeps the relation (and moves a
// new follower at once when the router's prefix is known); the web page
// reads the same store calls.
#include "commands/commands.h"
#include "commands/listing.h"
#include "dns/purge.h"
#include "store/database.h"
#include "store/store.h"

#include <ctime>
#include <ostream>

namespace tovix::server {

namespace {

std::string refusal(FollowResult result, const std::string& host, const std::string& router) {
    switch (result) {
    case FollowResult::NotOwned:
        return host + " and " + router + " are not hosts of one account";
    case FollowResult::Itself:
        return "a host cannot follow itself";
    case FollowResult::RouterFollows:
        return router + " follows a router itself, and a follower cannot be followed";
    case FollowResult::HostFollowed:
        return host + " has followers of its own, and a follower cannot be followed";
    case FollowResult::Full:
        return router + " has " + std::to_string(kMaxFollowers) +
               " followers, the most a router may have";
    case FollowResult::SuffixOverlaps:
        return "the suffix does not fit behind " + router + "'s prefix";
    case FollowResult::Done:
        break;
    }
    return "";
}

} // namespace

int host_command(const Options& options, std::ostream& out, std::ostream& err) {
    const std::vector<std::string>& w = options.words;
    std::vector<std::string> hosts;
    for (std::size_t i = 1; i < w.size(); ++i) {
        const std::optional<std::string> host = host_argument(w[i], err);
        if (!host)
            return 2;
        hosts.push_back(*host);
    }
    return on_store(err, [&] {
        // A follower moved now leaves the caches of --pdns-control's PowerDNS.
        DnsPurger purger(options.config.pdns_control,
                         [&err](const std::string& line) { err << line << '\n'; });
        Store store(options.config.db_path, Store::Mode::Existing,
                    StoreOptions{{}, options.config.ttl, options.config.pdns_schema});
        store.on_changed_names(
            [&purger](const std::vector<std::string>& names) { purger.purge(names); });
        const Origin origin{"", "", false, "operator"};
        if (w[0] == "follow") {
            const FollowResult result =
                store.follow({hosts[0], hosts[1], options.suffix}, "", origin, std::time(nullptr));
            if (result != FollowResult::Done) {
                err << "tovix-server: " << refusal(result, hosts[0], hosts[1]) << '\n';
                return 1;
            }
            out << hosts[0] << " follows " << hosts[1] << "'s prefix with " << options.suffix
                << " in " << printable_location(options.config.db_path) << '\n';
        } else if (w[0] == "unfollow") {
            if (!store.unfollow(hosts[0], "", origin, std::time(nullptr))) {
                err << "tovix-server: " << hosts[0] << " follows no router\n";
                return 1;
            }
            out << hosts[0] << " follows no router now, and keeps its address in "
                << printable_location(options.config.db_path) << '\n';
        } else {
            const FollowState state = store.follow_state(hosts[0]);
            out << "host\tsuffix\n";
            for (const Follow& f : state.followers)
                out << f.host << '\t' << f.suffix << '\n';
        }
        return finished(out);
    });
}

} // namespace tovix::server
