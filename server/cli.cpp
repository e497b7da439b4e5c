// The command line: parsing the options of each command, the host listing
// of `tovix-server list`, and the account commands, which read a new
// password from the terminal or standard input and never from an argument.
#include "cli.h"

#include "secret_input.h"
#include "store/store.h"
#include "text.h"

#include <algorithm>
#include <ostream>

namespace tovix::server {

const char* const kUsage =
    "Usage: tovix-server [--listen ADDR:PORT] [--listen-tls ADDR[:PORT] --tls-cert FILE\n"
    "                    --tls-key FILE] [--trusted-proxy CIDR]...\n"
    "                    [--proxy-header x-forwarded-for|forwarded] [--db DB]\n"
    "                    [--zone NAME]... [--ttl SECONDS] [--no-default-account]\n"
    "                    [--public-addresses-only] [--reveal-owned-names]\n"
    "                    [--log-requests FILE]\n"
    "                    [--pdns-control SOCKET]... [--metrics-listen ADDR:PORT]\n"
    "       tovix-server list [--db DB]\n"
    "       tovix-server check [--db DB] [--zone NAME]... [--tls-cert FILE [--tls-key FILE]]\n"
    "                    [--dns ADDR:PORT] [--listen ADDR:PORT]\n"
    "       tovix-server account add USER HOST... [--db DB]\n"
    "       tovix-server account passwd USER [--db DB]\n"
    "       tovix-server account hosts USER HOST... [--db DB]\n"
    "       tovix-server account remove USER [--db DB]\n"
    "       tovix-server account list [--db DB]\n"
    "       tovix-server --help\n"
    "\n"
    "Answers DynDNS-style update requests (GET /nic/update, GET /dyndns/update) and\n"
    "publishes the hosts in PowerDNS's tables of the same database (pdns_server\n"
    "--config-dir=server/dns --gsqlite3-database=FILE serves them).\n"
    "\n"
    "  --listen ADDR:PORT   address to listen on (default 127.0.0.1:80; IPv6 as\n"
    "                       [::1]:8080; port 0 picks a free port)\n"
    "  --listen-tls ADDR[:PORT]\n"
    "                       also serve HTTPS there (default port 443), with\n"
    "  --tls-cert FILE      the certificate chain (PEM) and\n"
    "  --tls-key FILE       its private key (PEM)\n"
    "  --trusted-proxy CIDR a proxy whose forwarding header names the caller;\n"
    "                       repeatable. From anyone else the header is ignored\n"
    "  --proxy-header x-forwarded-for|forwarded\n"
    "                       the header those proxies append the caller to\n"
    "                       (default x-forwarded-for); the other is never read\n"
    "  --db FILE|URI        the database of accounts, hosts and zones: an SQLite\n"
    "                       file (default tovix-server.db), or a PostgreSQL URI\n"
    "                       (postgresql://USER@HOST/DBNAME) that several\n"
    "                       servers may share\n"
    "  --pdns-schema FILE   PowerDNS's schema for a new database (default: the\n"
    "                       file pdns-backend-sqlite3 or pdns-backend-pgsql\n"
    "                       installs under /usr/share/pdns-backend-*/schema/)\n"
    "  --zone NAME          a zone to serve, created with SOA and NS when missing;\n"
    "                       repeatable (default tovix.example). Hosts outside\n"
    "                       every zone are answered nohost\n"
    "  --ttl SECONDS        TTL of the published records (default 60)\n"
    "  --no-default-account do not create the account tovix (password KoReL52,\n"
    "                       host home.tovix.example) in a new database; it is\n"
    "                       made only when the server listens on loopback alone\n"
    "                       and serves tovix.example\n"
    "  --public-addresses-only\n"
    "                       publish public addresses only: refuse private ranges\n"
    "                       (10/8, 172.16/12, 192.168/16, 100.64/10, fc00::/7)\n"
    "                       and loopback (which only a server listening on\n"
    "                       loopback alone publishes anyway)\n"
    "  --reveal-owned-names answer !yours, not nohost, for a host of another\n"
    "                       account\n"
    "  --log-requests FILE  also append each request's log line to FILE\n"
    "  --pdns-control SOCKET\n"
    "                       the control socket of a PowerDNS serving the\n"
    "                       database (pdns.controlsocket in its --socket-dir);\n"
    "                       repeatable. Each change is purged from its caches\n"
    "  --metrics-listen ADDR:PORT\n"
    "                       serve GET /metrics (Prometheus) and GET /healthz\n"
    "                       (200 ok, or 503 and why) there; off by default. The\n"
    "                       metrics tell of the traffic: keep them on loopback\n"
    "                       or a private network\n"
    "  list                 print the stored hosts and exit\n"
    "  check                check the database (opens, writable, layout, file\n"
    "                       mode), each --zone (SOA and NS, and the serial\n"
    "                       PowerDNS answers at --dns, default 127.0.0.1:53),\n"
    "                       the certificate and key (match, 14 days left or\n"
    "                       more) and the built-in account (absent unless\n"
    "                       --listen is loopback); one ok or FAIL line each,\n"
    "                       exit status 0 only when all pass\n"
    "  account ...          add an account owning hosts, set its password or\n"
    "                       hosts, remove or list accounts. A new password is\n"
    "                       read from the terminal, or from standard input when\n"
    "                       that is not one, never from the command line. A\n"
    "                       running server sees the change within a fifth of a\n"
    "                       second. Removing an account, or a host from one,\n"
    "                       withdraws the host's records\n";

namespace {

// Options that take a value, and which commands they apply to.
bool takes_value(const std::string& name) {
    return name == "--db" || name == "--pdns-schema" || name == "--listen" ||
           name == "--listen-tls" || name == "--tls-cert" || name == "--tls-key" ||
           name == "--trusted-proxy" || name == "--proxy-header" || name == "--log-requests" ||
           name == "--zone" || name == "--ttl" || name == "--pdns-control" ||
           name == "--metrics-listen" || name == "--dns";
}

// Whether an option applies to the command.
bool applies(const Options& options, const std::string& name) {
    switch (options.command) {
    case Options::Command::Serve:
        return name != "--dns";
    case Options::Command::Check:
        return name == "--db" || name == "--zone" || name == "--tls-cert" || name == "--tls-key" ||
               name == "--dns" || name == "--listen" || name == "--pdns-schema";
    default:
        return name == "--db" || name == "--pdns-schema";
    }
}

bool apply_value(Options& options, const std::string& name, const std::string& value,
                 std::string* error) {
    if (value.empty() && name != "--zone") {
        *error = name + " needs a value";
        return false;
    }
    if (name == "--db") {
        options.config.db_path = value;
    } else if (name == "--pdns-schema") {
        options.config.pdns_schema = value;
    } else if (name == "--pdns-control") {
        options.config.pdns_control.push_back(value);
    } else if (name == "--log-requests") {
        options.config.log_path = value;
    } else if (name == "--tls-cert") {
        options.tls_cert_file = value;
    } else if (name == "--tls-key") {
        options.tls_key_file = value;
    } else if (name == "--trusted-proxy") {
        if (!options.config.proxies.add(value)) {
            *error = "bad --trusted-proxy '" + value + "': expected an address or ADDR/BITS";
            return false;
        }
    } else if (name == "--proxy-header") {
        const std::optional<TrustedProxies::Header> header = TrustedProxies::parse_header(value);
        if (!header) {
            *error = "bad --proxy-header '" + value + "': expected x-forwarded-for or forwarded";
            return false;
        }
        options.config.proxies.set_header(*header);
    } else if (name == "--zone") {
        const std::string zone = normalize_host(value);
        if (!is_fqdn(zone)) {
            *error = "bad --zone '" + value + "': expected a name of two labels or more";
            return false;
        }
        options.config.zones.push_back(zone);
    } else if (name == "--ttl") {
        const std::optional<int> ttl = parse_decimal(value, 1, 86400);
        if (!ttl) {
            *error = "bad --ttl '" + value + "': expected 1 to 86400 seconds";
            return false;
        }
        options.config.ttl = *ttl;
    } else if (name == "--metrics-listen" || name == "--dns") {
        const std::optional<ListenAddress> address = parse_listen(value);
        if (!address) {
            *error = "bad " + name + " '" + value + "': expected ADDR:PORT or [ADDR6]:PORT";
            return false;
        }
        (name == "--dns" ? options.dns : options.metrics_listen) = *address;
    } else {
        const bool tls = name == "--listen-tls";
        std::optional<ListenAddress> listen = parse_listen(value);
        if (!listen && tls)
            listen = parse_listen(value.find(':') == std::string::npos ? value + ":443"
                                                                       : "[" + value + "]:443");
        if (!listen) {
            *error = "bad " + name + " '" + value + "': expected ADDR:PORT or [ADDR6]:PORT";
            return false;
        }
        if (tls)
            options.listen_tls = *listen;
        else
            options.listen = *listen;
    }
    return true;
}

// The options of the server that take no value; false for any other name.
bool apply_flag(Options& options, const std::string& name) {
    bool* flag = name == "--no-default-account"      ? &options.config.default_account
                 : name == "--public-addresses-only" ? &options.config.public_addresses_only
                 : name == "--reveal-owned-names"    ? &options.config.reveal_owned_names
                                                     : nullptr;
    if (flag)
        *flag = name != "--no-default-account";
    return flag != nullptr;
}

bool check_consistency(Options& options, std::string* error) {
    const bool cert = !options.tls_cert_file.empty(), key = !options.tls_key_file.empty();
    if (options.command == Options::Command::Check) {
        if (key && !cert)
            *error = "check: --tls-key needs --tls-cert";
        return cert || !key;
    }
    if (cert != key || (options.listen_tls && !cert)) {
        *error = "HTTPS needs both --tls-cert and --tls-key";
        return false;
    }
    if (cert && !options.listen_tls)
        options.listen_tls = ListenAddress{options.listen.host, 443};
    if (options.command == Options::Command::Account) {
        const std::vector<std::string>& a = options.account;
        const std::string verb = a.empty() ? "" : a[0];
        const bool ok = (verb == "list" && a.size() == 1) ||
                        ((verb == "passwd" || verb == "remove") && a.size() == 2) ||
                        ((verb == "add" || verb == "hosts") && a.size() >= 3);
        if (!ok) {
            *error = "account: expected add USER HOST..., passwd USER, hosts USER HOST...,"
                     " remove USER or list";
            return false;
        }
    }
    return true;
}

} // namespace

std::optional<Options> parse_command_line(const std::vector<std::string>& args,
                                          std::string* error) {
    Options options;
    std::size_t i = 0;
    if (!args.empty() && (args[0] == "list" || args[0] == "account" || args[0] == "check")) {
        options.command = args[0] == "list"      ? Options::Command::List
                          : args[0] == "account" ? Options::Command::Account
                                                 : Options::Command::Check;
        ++i;
    }
    const bool serving = options.command == Options::Command::Serve;
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
        if (!value && serving && apply_flag(options, name))
            continue;
        if (name == "--account") {
            *error = "passwords stay off the command line: add accounts with"
                     " 'tovix-server account add USER HOST...'";
            return std::nullopt;
        }
        if (name.rfind("-", 0) != 0 && options.command == Options::Command::Account) {
            options.account.push_back(name);
            continue;
        }
        if (!takes_value(name)) {
            *error =
                name.rfind("-", 0) == 0 ? "unknown option " + name : "unexpected argument " + name;
            return std::nullopt;
        }
        if (!applies(options, name)) {
            *error = name + " does not apply to " + (serving ? "the server" : args[0]);
            return std::nullopt;
        }
        if (!value) {
            if (i + 1 >= args.size()) {
                *error = name + " needs a value";
                return std::nullopt;
            }
            value = args[++i];
        }
        if (!apply_value(options, name, *value, error))
            return std::nullopt;
    }
    if (!check_consistency(options, error))
        return std::nullopt;
    return options;
}

namespace {

// The listing printed by `tovix-server list`: a header line, then one
// tab-separated line per host.
void write_hosts(std::ostream& out, const std::vector<Host>& hosts) {
    out << "host\taccount\tipv4\tipv6\twildcard\tmx\tbackmx\toffline\tupdated\n";
    auto or_dash = [](const std::string& s) {
        return s.empty() ? std::string("-") : escape_field(s);
    };
    for (const Host& h : hosts) {
        out << escape_field(h.name) << '\t' << escape_field(h.account) << '\t' << or_dash(h.ipv4)
            << '\t' << or_dash(h.ipv6) << '\t' << (h.wildcard ? "ON" : "OFF") << '\t'
            << or_dash(h.mx) << '\t' << (h.backmx ? "YES" : "NO") << '\t'
            << (h.offline ? "YES" : "NO") << '\t'
            << format_utc(static_cast<std::time_t>(h.updated_at)) << '\n';
    }
}

} // namespace

int list_hosts(const std::string& db_path, std::ostream& out, std::ostream& err,
               const std::string& pdns_schema) {
    try {
        Store store(db_path, Store::Mode::Existing, StoreOptions{{}, kDefaultTtl, pdns_schema});
        write_hosts(out, store.hosts());
        out.flush();
        return out ? 0 : 1;
    } catch (const StoreError& e) {
        err << "tovix-server: cannot read hosts: " << e.what() << '\n';
        return 1;
    }
}

namespace {

bool read_hosts(const std::vector<std::string>& args, std::vector<std::string>* hosts,
                std::ostream& err) {
    for (std::size_t i = 2; i < args.size(); ++i) {
        for (const std::string& raw : split_list(args[i])) {
            std::string host = normalize_host(raw);
            if (!is_fqdn(host)) {
                err << "tovix-server: '" << raw << "' is not a fully qualified host name\n";
                return false;
            }
            hosts->push_back(host);
        }
    }
    std::sort(hosts->begin(), hosts->end());
    hosts->erase(std::unique(hosts->begin(), hosts->end()), hosts->end());
    return true;
}

} // namespace

int account_command(const Options& options, std::ostream& out, std::ostream& err) {
    const std::vector<std::string>& a = options.account;
    const std::string& verb = a[0];
    try {
        // Zones are the server's business; this only opens (or makes) the
        // file. A listing writes nothing: a running server would take any
        // write for a change of the accounts.
        Store store(options.config.db_path,
                    verb == "list" ? Store::Mode::Existing : Store::Mode::Create,
                    StoreOptions{{}, kDefaultTtl, options.config.pdns_schema});
        if (verb == "list") {
            out << "account\thosts\n";
            for (const AccountRecord& r : store.accounts()) {
                std::string hosts;
                for (const std::string& h : r.hosts)
                    hosts += (hosts.empty() ? "" : ",") + h;
                out << escape_field(r.name) << '\t' << (hosts.empty() ? "-" : hosts) << '\n';
            }
            return out ? 0 : 1;
        }
        const std::string& user = a[1];
        if (user.empty() || user.size() > 64 || user.find(':') != std::string::npos) {
            err << "tovix-server: a user name has 1 to 64 characters and no colon\n";
            return 2;
        }
        std::vector<std::string> hosts;
        if ((verb == "add" || verb == "hosts") && !read_hosts(a, &hosts, err))
            return 2;
        bool done = false;
        if (verb == "remove") {
            done = store.remove_account(user);
        } else if (verb == "hosts") {
            done = store.set_hosts(user, hosts);
        } else {
            std::string why;
            std::optional<std::string> password = read_new_password(user, &why);
            if (!password) {
                err << "tovix-server: " << why << '\n';
                return 1;
            }
            done = verb == "add" ? store.add_account({user, hash_password(*password), hosts})
                                 : store.set_password(user, hash_password(*password));
        }
        if (!done) {
            err << "tovix-server: account " << user
                << (verb == "add" ? " exists already\n" : " does not exist\n");
            return 1;
        }
        return 0;
    } catch (const StoreError& e) {
        err << "tovix-server: " << e.what() << '\n';
        return 1;
    }
}

std::optional<ListenAddress> parse_listen(std::string_view text) {
    std::string_view host;
    std::string_view port;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return std::nullopt;
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const std::size_t colon = text.rfind(':');
        if (colon == std::string_view::npos)
            return std::nullopt;
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.find(':') != std::string_view::npos)
            return std::nullopt; // IPv6 needs brackets
    }
    const std::optional<int> value = parse_decimal(port, 0, 65535);
    if (host.empty() || !value)
        return std::nullopt;
    return ListenAddress{std::string(host), *value};
}

std::optional<int> parse_decimal(std::string_view text, int min, int max) {
    if (text.empty() || text.size() > 9)
        return std::nullopt;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value < min || value > max)
        return std::nullopt;
    return value;
}

} // namespace tovix::server
