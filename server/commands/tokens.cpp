// `tovix-server token`: a host's update tokens, made, listed and removed.
// The store keeps them; the web page reads the same store calls.
#include "auth/tokens.h"

#include "base/strings.h"
#include "commands/commands.h"
#include "commands/listing.h"
#include "store/store.h"

#include <ctime>
#include <ostream>

namespace tovix::server {

int token_command(const Options& options, std::ostream& out, std::ostream& err) {
    const std::vector<std::string>& w = options.words;
    const std::string& verb = w[0];
    const std::optional<std::string> host = host_argument(w[1], err);
    if (!host)
        return 2;
    std::optional<int> id;
    if (verb == "remove" && !(id = parse_decimal(w[2], 1, 999999999))) {
        err << "tovix-server: '" << w[2] << "' is not a token id (see token list)\n";
        return 2;
    }
    return on_store(err, [&] {
        Store store = existing_store(options.config);
        if (verb == "list" && !store.owner_of(*host)) {
            err << "tovix-server: no account owns " << *host << " in " << options.config.db_path
                << '\n';
            return 1;
        }
        if (verb == "add") {
            const std::string token = make_token();
            const NewToken made =
                store.add_token(*host, token_digest(token), options.label, std::time(nullptr));
            if (made.full) {
                err << "tovix-server: " << *host << " has " << kMaxTokensPerHost
                    << " tokens, the most a host may have; revoke one first"
                       " ('tovix-server token remove HOST ID', see 'token list')\n";
                return 1;
            }
            if (!made) {
                err << "tovix-server: no account owns " << *host
                    << " (add it with 'tovix-server account hosts USER HOST...')\n";
                return 1;
            }
            out << token << '\n';
            err << "tovix-server: token " << made.id << " of " << *host
                << " (shown only this once; user name: " << *host << ")\n";
        } else if (verb == "list") {
            out << "id\tlabel\tcreated\tlast used\n";
            for (const TokenRecord& t : store.tokens(*host))
                out << t.id << '\t' << or_dash(t.label) << '\t' << time_or_dash(t.created) << '\t'
                    << time_or_dash(t.last_used) << '\n';
        } else if (!store.remove_token(*host, *id)) {
            err << "tovix-server: " << *host << " has no token " << *id << '\n';
            return 1;
        }
        return finished(out);
    });
}

} // namespace tovix::server
