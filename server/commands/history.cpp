// `tovix-server history HOST`: the host's latest changes, newest first.
#include "base/strings.h"
#include "commands/commands.h"
#include "commands/listing.h"
#include "store/store.h"

#include <ostream>

namespace tovix::server {

int history_command(const Options& options, std::ostream& out, std::ostream& err) {
    const std::optional<std::string> host = host_argument(options.words[0], err);
    if (!host)
        return 2;
    return on_store(err, [&] {
        Store store = existing_store(options.config);
        if (!store.owner_of(*host)) {
            err << "tovix-server: no account owns " << *host << " in " << options.config.db_path
                << '\n';
            return 1;
        }
        out << "time\twhat\tbefore\tafter\tcaller\tuser agent\tvia\tcredential\n";
        for (const HistoryEntry& e :
             store.history(*host, static_cast<std::size_t>(options.limit))) {
            const Origin& o = e.origin;
            out << time_or_dash(e.time) << '\t' << e.what << '\t' << escape_field(e.before) << '\t'
                << escape_field(e.after) << '\t' << or_dash(o.caller) << '\t'
                << or_dash(o.user_agent) << '\t'
                << (o.caller.empty() ? "-"
                    : o.https        ? "HTTPS"
                                     : "HTTP")
                << '\t' << or_dash(o.credential) << '\n';
        }
        return finished(out);
    });
}

} // namespace tovix::server
