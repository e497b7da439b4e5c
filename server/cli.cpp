#include "cli.h"

#include "store.h"

#include <ostream>

namespace tovix::server {

const char* const kUsage =
    "Usage: tovix-server [--listen ADDR:PORT] [--db FILE] [--zone NAME]... [--ttl SECONDS]\n"
    "                    [--account USER:PASSWORD:HOST[,HOST...]]... [--log-requests FILE]\n"
    "       tovix-server list [--db FILE]\n"
    "       tovix-server --help\n"
    "\n"
    "Answers DynDNS-style update requests (GET /nic/update, GET /dyndns/update) and\n"
    "publishes the hosts in PowerDNS's tables of the same database (pdns_server\n"
    "--config-dir=server/dns --gsqlite3-database=FILE serves them).\n"
    "\n"
    "  --listen ADDR:PORT   address to listen on (default 127.0.0.1:80; IPv6 as\n"
    "                       [::1]:8080; port 0 picks a free port)\n"
    "  --db FILE            SQLite database of hosts and zones (default tovix-server.db)\n"
    "  --zone NAME          a zone to serve, created with SOA and NS when missing;\n"
    "                       repeatable (default tovix.example). Hosts outside\n"
    "                       every zone are answered nohost\n"
    "  --ttl SECONDS        TTL of the published records (default 60)\n"
    "  --account USER:PASSWORD:HOST[,HOST...]\n"
    "                       an account and the hosts it owns; repeatable. Without\n"
    "                       any: user tovix, password KoReL52, host home.tovix.example\n"
    "  --log-requests FILE  also append each request's log line to FILE\n"
    "  list                 print the stored hosts and exit\n";

std::optional<Options> parse_command_line(const std::vector<std::string>& args,
                                          std::string* error) {
    Options options;
    std::size_t i = 0;
    if (!args.empty() && args[0] == "list") {
        options.command = Options::Command::List;
        ++i;
    }
    bool listen_given = false;
    for (; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> value;
        const std::size_t eq = name.find('=');
        if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        if (name == "--help" || name == "-h") {
            if (value) {
                *error = "--help takes no value";
                return std::nullopt;
            }
            options.command = Options::Command::Help;
            return options;
        }
        const bool serve_only = name == "--listen" || name == "--account" ||
                                name == "--log-requests" || name == "--zone" || name == "--ttl";
        if (name != "--db" && !serve_only) {
            *error =
                name.rfind("-", 0) == 0 ? "unknown option " + name : "unexpected argument " + name;
            return std::nullopt;
        }
        if (serve_only && options.command == Options::Command::List) {
            *error = name + " does not apply to list";
            return std::nullopt;
        }
        if (!value) {
            if (i + 1 >= args.size()) {
                *error = name + " needs a value";
                return std::nullopt;
            }
            value = args[++i];
        }
        if (name == "--db") {
            if (value->empty()) {
                *error = "--db needs a file name";
                return std::nullopt;
            }
            options.config.db_path = *value;
        } else if (name == "--log-requests") {
            if (value->empty()) {
                *error = "--log-requests needs a file name";
                return std::nullopt;
            }
            options.config.log_path = *value;
        } else if (name == "--zone") {
            const std::string zone = normalize_host(*value);
            if (!is_fqdn(zone)) {
                *error = "bad --zone '" + *value + "': expected a name of two labels or more";
                return std::nullopt;
            }
            options.config.zones.push_back(zone);
        } else if (name == "--ttl") {
            const std::optional<int> ttl = parse_decimal(*value, 1, 86400);
            if (!ttl) {
                *error = "bad --ttl '" + *value + "': expected 1 to 86400 seconds";
                return std::nullopt;
            }
            options.config.ttl = *ttl;
        } else if (name == "--listen") {
            if (listen_given) {
                *error = "--listen given twice";
                return std::nullopt;
            }
            std::optional<ListenAddress> listen = parse_listen(*value);
            if (!listen) {
                *error = "bad --listen '" + *value + "': expected ADDR:PORT or [ADDR6]:PORT";
                return std::nullopt;
            }
            options.listen = *listen;
            listen_given = true;
        } else {
            std::string why;
            std::optional<Account> account = parse_account(*value, &why);
            if (!account) {
                *error = "bad --account: " + why;
                return std::nullopt;
            }
            options.config.accounts.push_back(std::move(*account));
        }
    }
    return options;
}

int list_records(const std::string& db_path, std::ostream& out, std::ostream& err) {
    try {
        Store store(db_path, Store::Mode::Existing);
        write_hosts(out, store.hosts());
        out.flush();
        return out ? 0 : 1;
    } catch (const StoreError& e) {
        err << "tovix-server: cannot read records: " << e.what() << '\n';
        return 1;
    }
}

} // namespace tovix::server
