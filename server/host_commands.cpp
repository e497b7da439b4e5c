// The command line's view of one host: its update tokens (made, listed,
// removed) and its history. The store keeps both; the web page reads the
// same store calls.
#include "auth/tokens.h"
#include "base/strings.h"
#include "cli.h"
#include "dns/names.h"
#include "update/dyndns.h"

#include <ctime>
#include <ostream>

namespace tovix::server {

namespace {

std::string when(std::int64_t t) {
    return t ? format_utc(static_cast<std::time_t>(t)) : "-";
}

std::string or_dash(const std::string& text) {
    return text.empty() ? "-" : escape_field(text);
}

// The host named on the command line, normalized; nothing (and a message)
// for a name that is no host name.
std::optional<std::string> host_argument(const std::string& raw, std::ostream& err) {
    std::string host = normalize_host(raw);
    if (!is_fqdn(host)) {
        err << "tovix-server: '" << raw << "' is not a fully qualified host name\n";
        return std::nullopt;
    }
    return host;
}

} // namespace

std::string describe_activity(const Activity& a) {
    std::string seen = a.seen_at ? when(a.seen_at) + " from " + or_dash(a.seen_caller) + " (" +
                                       or_dash(a.seen_agent) + ")"
                                 : "-";
    std::string faults = "-";
    if (a.faults())
        faults = std::to_string(a.faults()) + " (badauth " + std::to_string(a.badauth) +
                 ", throttled " + std::to_string(a.throttled) + ", malformed " +
                 std::to_string(a.malformed) + "; last " + when(a.fault_at) + ")";
    return seen + '\t' + faults;
}

int token_command(const Options& options, std::ostream& out, std::ostream& err) {
    const std::vector<std::string>& w = options.account;
    const std::string& verb = w[0];
    const std::optional<std::string> host = host_argument(w[1], err);
    if (!host)
        return 2;
    std::optional<int> id;
    if (verb == "remove" && !(id = parse_decimal(w[2], 1, 999999999))) {
        err << "tovix-server: '" << w[2] << "' is not a token id (see token list)\n";
        return 2;
    }
    try {
        Store store(options.config.db_path, Store::Mode::Existing,
                    StoreOptions{{}, kDefaultTtl, options.config.pdns_schema});
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
                out << t.id << '\t' << or_dash(t.label) << '\t' << when(t.created) << '\t'
                    << when(t.last_used) << '\n';
        } else if (!store.remove_token(*host, *id)) {
            err << "tovix-server: " << *host << " has no token " << *id << '\n';
            return 1;
        }
        out.flush();
        return out ? 0 : 1;
    } catch (const StoreError& e) {
        err << "tovix-server: " << e.what() << '\n';
        return 1;
    }
}

int history_command(const Options& options, std::ostream& out, std::ostream& err) {
    const std::optional<std::string> host = host_argument(options.account[0], err);
    if (!host)
        return 2;
    try {
        Store store(options.config.db_path, Store::Mode::Existing,
                    StoreOptions{{}, kDefaultTtl, options.config.pdns_schema});
        out << "time\twhat\tbefore\tafter\tcaller\tuser agent\tvia\tcredential\n";
        for (const HistoryEntry& e :
             store.history(*host, static_cast<std::size_t>(options.limit))) {
            const Origin& o = e.origin;
            out << when(e.time) << '\t' << e.what << '\t' << escape_field(e.before) << '\t'
                << escape_field(e.after) << '\t' << or_dash(o.caller) << '\t'
                << or_dash(o.user_agent) << '\t'
                << (o.caller.empty() ? "-"
                    : o.https        ? "HTTPS"
                                     : "HTTP")
                << '\t' << or_dash(o.credential) << '\n';
        }
        out.flush();
        return out ? 0 : 1;
    } catch (const StoreError& e) {
        err << "tovix-server: " << e.what() << '\n';
        return 1;
    }
}

} // namespace tovix::server
