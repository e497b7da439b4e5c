// The command line: parsing the options of each command, the host listing
// of `tovix-server list`, and the account commands, which read a new
// password from the terminal or standard input and never from an argument.
#include "cli.h"

#include "auth/account_rules.h"
#include "auth/passwords.h"
#include "base/strings.h"
#include "dns/names.h"
#include "dns/purge.h"
#include "secret_input.h"
#include "store/store.h"

#include <algorithm>
#include <map>
#include <ostream>

namespace tovix::server {

const char* const kUsage =
    "Usage: tovix-server [--listen ADDR:PORT] [--listen-tls ADDR[:PORT] --tls-cert FILE\n"
    "                    --tls-key FILE] [--trusted-proxy CIDR]...\n"
    "                    [--proxy-header x-forwarded-for|forwarded] [--db DB]\n"
    "                    [--zone NAME]... [--ttl SECONDS] [--no-default-account]\n"
    "                    [--public-addresses-only] [--reveal-owned-names]\n"
    "                    [--log-requests FILE]\n"
    "                    [--pdns-control SOCKET]... [--history N]\n"
    "                    [--activity-interval SECONDS] [--metrics-listen ADDR:PORT]\n"
    "                    [--no-web] [--web-allow-http]\n"
    "       tovix-server list [--db DB]\n"
    "       tovix-server check [--db DB] [--zone NAME]... [--tls-cert FILE [--tls-key FILE]]\n"
    "                    [--dns ADDR:PORT] [--listen ADDR:PORT]\n"
    "       tovix-server account add USER HOST... [--admin] [--db DB]\n"
    "       tovix-server account admin USER on|off [--db DB]\n"
    "       tovix-server account passwd USER [--db DB]\n"
    "       tovix-server account hosts USER HOST... [--db DB]\n"
    "       tovix-server account remove USER [--db DB]\n"
    "       tovix-server account list [--db DB]\n"
    "       tovix-server token add HOST [--label TEXT] [--db DB]\n"
    "       tovix-server token list HOST [--db DB]\n"
    "       tovix-server token remove HOST ID [--db DB]\n"
    "       tovix-server history HOST [--limit N] [--db DB]\n"
    "       tovix-server zone add NAME [--dnssec] [--db DB]\n"
    "       tovix-server zone secure NAME|--requested [--db DB]\n"
    "       tovix-server zone ds NAME [--db DB]\n"
    "       tovix-server --help\n"
    "\n"
    "Answers DynDNS-style update requests (GET /nic/update, GET /dyndns/update) and\n"
    "publishes the hosts in PowerDNS's tables of the same database (pdns_server\n"
    "--config-dir=server/dns --gsqlite3-database=FILE serves them). GET /checkip\n"
    "answers the caller's address; POST /update (acme-dns's call, with a host's\n"
    "name and token) sets the TXT record of its ACME DNS-01 challenge.\n"
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
    "  --history N          changes kept per host (default 100)\n"
    "  --activity-interval SECONDS\n"
    "                       how often the hosts' last-seen times and faults are\n"
    "                       written (default 60); a crash loses at most that\n"
    "  --metrics-listen ADDR:PORT\n"
    "                       serve GET /metrics (Prometheus) and GET /healthz\n"
    "                       (200 ok, or 503 and why) there; off by default. The\n"
    "                       metrics tell of the traffic: keep them on loopback\n"
    "                       or a private network\n"
    "  --no-web             do not serve the web page (under /, beside the update\n"
    "                       paths) where owners manage their hosts and operators\n"
    "                       the accounts\n"
    "  --web-allow-http     take the web page's sign-in over plain HTTP even when\n"
    "                       listening beyond loopback (otherwise HTTPS only)\n"
    "  list                 print the stored hosts and exit\n"
    "  check                check the database (opens, writable, layout, file\n"
    "                       mode), each --zone (SOA and NS, and the serial\n"
    "                       PowerDNS answers at --dns, default 127.0.0.1:53),\n"
    "                       the certificate and key (match, 14 days left or\n"
    "                       more) and the built-in account (absent unless\n"
    "                       --listen is loopback); one ok or FAIL line each,\n"
    "                       exit status 0 only when all pass\n"
    "  account ...          add an account owning hosts, set its password or\n"
    "                       hosts, remove or list accounts; --admin or admin\n"
    "                       USER on|off: an operator of the web page. A new\n"
    "                       password is read from the terminal, or from\n"
    "                       standard input when that is not one, never from the\n"
    "                       command line. A\n"
    "                       running server sees the change within a fifth of a\n"
    "                       second. Removing an account, or a host from one,\n"
    "                       withdraws the host's records. With --pdns-control\n"
    "                       they are purged from that PowerDNS's caches (with\n"
    "                       PostgreSQL, every running server purges its own)\n"
    "  token ...            make, list or remove a host's update tokens. A token\n"
    "                       is printed once; with the host's name as user name\n"
    "                       it updates that host and no other\n"
    "  history HOST         print the host's latest changes, newest first\n"
    "  zone add NAME        create a zone (SOA and NS) in the database; a server\n"
    "                       serves updates in it with --zone NAME. --dnssec:\n"
    "                       sign it too, as zone secure does\n"
    "  zone secure NAME     have PowerDNS sign the zone live: an ECDSA P-256 key\n"
    "                       (algorithm 13) and NSEC3 in narrow mode, made by\n"
    "                       PowerDNS's pdnsutil (--pdnsutil PATH; default: from\n"
    "                       PATH). --requested: every zone that asked to be\n"
    "                       signed and has no key yet (tovix-server-dns.service\n"
    "                       does this as it starts). Without pdnsutil the zone\n"
    "                       stays unsigned, and served\n"
    "  zone ds NAME         print the zone's DS records for its parent zone\n";

namespace {

// Options that take a value, and which commands they apply to.
bool takes_value(const std::string& name) {
    return name == "--db" || name == "--pdns-schema" || name == "--listen" ||
           name == "--listen-tls" || name == "--tls-cert" || name == "--tls-key" ||
           name == "--trusted-proxy" || name == "--proxy-header" || name == "--log-requests" ||
           name == "--zone" || name == "--ttl" || name == "--pdns-control" || name == "--history" ||
           name == "--activity-interval" || name == "--label" || name == "--limit" ||
           name == "--pdnsutil" || name == "--metrics-listen" || name == "--dns";
}

bool apply_value(Options& options, const std::string& name, const std::string& value,
                 std::string* error) {
    if (value.empty() && name != "--zone" && name != "--label") {
        *error = name + " needs a value";
        return false;
    }
    if (name == "--db") {
        options.config.db_path = value;
    } else if (name == "--pdns-schema") {
        options.config.pdns_schema = value;
    } else if (name == "--pdns-control") {
        options.config.pdns_control.push_back(value);
    } else if (name == "--label") {
        if (value.size() > 255) {
            *error = "--label has at most 255 characters";
            return false;
        }
        options.label = value;
    } else if (name == "--history" || name == "--activity-interval" || name == "--limit") {
        const std::optional<int> n = parse_decimal(value, 1, name == "--limit" ? 100000 : 86400);
        if (!n) {
            *error = "bad " + name + " '" + value + "': expected a number from 1";
            return false;
        }
        if (name == "--history")
            options.config.history = static_cast<std::size_t>(*n);
        else if (name == "--limit")
            options.limit = *n;
        else
            options.config.activity_interval = std::chrono::seconds(*n);
    } else if (name == "--pdnsutil") {
        options.pdnsutil = value;
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
                 : name == "--no-web"                ? &options.config.web
                 : name == "--web-allow-http"        ? &options.config.web_allow_http
                                                     : nullptr;
    if (flag)
        *flag = name != "--no-default-account" && name != "--no-web";
    return flag != nullptr;
}

// Which options each command takes (of those that take a value).
bool applies(Options::Command command, const std::string& name) {
    if (command == Options::Command::Serve)
        return name != "--pdnsutil" && name != "--label" && name != "--limit" && name != "--dns";
    if (command == Options::Command::Check)
        return name == "--db" || name == "--zone" || name == "--tls-cert" || name == "--tls-key" ||
               name == "--dns" || name == "--listen" || name == "--pdns-schema";
    if (name == "--db" || name == "--pdns-schema")
        return true;
    if (name == "--pdns-control")
        return command == Options::Command::Account || command == Options::Command::Zone;
    if (name == "--label" || name == "--limit")
        return command == (name == "--label" ? Options::Command::Token : Options::Command::History);
    return command == Options::Command::Zone &&
           (name == "--pdnsutil" || name == "--ttl" || name == "--dnssec" || name == "--requested");
}

bool zone_arguments_ok(const Options& options, std::string* error) {
    const std::vector<std::string>& z = options.zone;
    const std::string verb = z.empty() ? "" : z[0];
    const bool named = z.size() == 2 && !options.requested;
    const bool ok = ((verb == "add" || verb == "ds") && named) ||
                    (verb == "secure" && (named || (z.size() == 1 && options.requested)));
    if (!ok) {
        *error = "zone: expected add NAME [--dnssec], secure NAME, secure --requested or ds NAME";
        return false;
    }
    if (options.dnssec && verb != "add") {
        *error = "--dnssec applies to zone add";
        return false;
    }
    if (named && !is_fqdn(normalize_host(z[1]))) {
        *error = "bad zone '" + z[1] + "': expected a name of two labels or more";
        return false;
    }
    return true;
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
    if (options.command == Options::Command::Zone && !zone_arguments_ok(options, error))
        return false;
    if (options.command == Options::Command::Account) {
        const std::vector<std::string>& a = options.account;
        const std::string verb = a.empty() ? "" : a[0];
        const bool ok = (verb == "list" && a.size() == 1) ||
                        ((verb == "passwd" || verb == "remove") && a.size() == 2) ||
                        ((verb == "add" || verb == "hosts") && a.size() >= 3) ||
                        (verb == "admin" && a.size() == 3 && (a[2] == "on" || a[2] == "off"));
        if (!ok) {
            *error = "account: expected add USER HOST... [--admin], passwd USER, hosts USER"
                     " HOST..., admin USER on|off, remove USER or list";
            return false;
        }
        if (options.admin && verb != "add") {
            *error = "--admin applies to account add";
            return false;
        }
    }
    const std::vector<std::string>& w = options.account;
    const std::string verb = w.empty() ? "" : w[0];
    if (options.command == Options::Command::Token &&
        !(((verb == "add" || verb == "list") && w.size() == 2) ||
          (verb == "remove" && w.size() == 3))) {
        *error = "token: expected add HOST, list HOST or remove HOST ID";
        return false;
    }
    if (options.command == Options::Command::History && w.size() != 1) {
        *error = "history: expected one HOST";
        return false;
    }
    return true;
}

struct CommandName {
    const char* name;
    Options::Command command;
};
constexpr CommandName kCommands[] = {
    {"list", Options::Command::List},   {"account", Options::Command::Account},
    {"token", Options::Command::Token}, {"history", Options::Command::History},
    {"zone", Options::Command::Zone},   {"check", Options::Command::Check}};

} // namespace

std::optional<Options> parse_command_line(const std::vector<std::string>& args,
                                          std::string* error) {
    Options options;
    std::size_t i = 0;
    for (const CommandName& c : kCommands) {
        if (!args.empty() && args[0] == c.name) {
            options.command = c.command;
            ++i;
        }
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
        if (name.rfind("-", 0) != 0 && !serving && options.command != Options::Command::List &&
            options.command != Options::Command::Zone &&
            options.command != Options::Command::Check) {
            options.account.push_back(name);
            continue;
        }
        if (options.command == Options::Command::Account && name == "--admin" && !value) {
            options.admin = true;
            continue;
        }
        if (options.command == Options::Command::Zone && !value) {
            if (name.rfind("-", 0) != 0) {
                options.zone.push_back(name);
                continue;
            }
            if (name == "--dnssec" || name == "--requested") {
                (name == "--dnssec" ? options.dnssec : options.requested) = true;
                continue;
            }
        }
        if (!takes_value(name)) {
            *error =
                name.rfind("-", 0) == 0 ? "unknown option " + name : "unexpected argument " + name;
            return std::nullopt;
        }
        if (!applies(options.command, name)) {
            *error = name + " does not apply to " + (serving ? "serving" : args[0]);
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
void write_hosts(std::ostream& out, const std::vector<Host>& hosts,
                 const std::map<std::string, Activity>& activity) {
    out << "host\taccount\tipv4\tipv6\twildcard\tmx\tbackmx\toffline\tupdated\tlast seen"
           "\tfaults\n";
    auto or_dash = [](const std::string& s) {
        return s.empty() ? std::string("-") : escape_field(s);
    };
    for (const Host& h : hosts) {
        out << escape_field(h.name) << '\t' << escape_field(h.account) << '\t' << or_dash(h.ipv4)
            << '\t' << or_dash(h.ipv6) << '\t' << (h.wildcard ? "ON" : "OFF") << '\t'
            << or_dash(h.mx) << '\t' << (h.backmx ? "YES" : "NO") << '\t'
            << (h.offline ? "YES" : "NO") << '\t'
            << format_utc(static_cast<std::time_t>(h.updated_at)) << '\t';
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
        write_hosts(out, store.hosts(), store.activity());
        out.flush();
        return out ? 0 : 1;
    } catch (const StoreError& e) {
        err << "tovix-server: cannot read hosts: " << e.what() << '\n';
        return 1;
    }
}

int account_command(const Options& options, std::ostream& out, std::ostream& err) {
    const std::vector<std::string>& a = options.account;
    const std::string& verb = a[0];
    try {
        // A host withdrawn leaves the caches of --pdns-control's PowerDNS
        // (one last try as this returns).
        DnsPurger purger(options.config.pdns_control,
                         [&err](const std::string& line) { err << line << '\n'; });
        // Zones are the server's business; this only opens (or makes) the
        // file. A listing writes nothing: a running server would take any
        // write for a change of the accounts.
        Store store(options.config.db_path,
                    verb == "list" ? Store::Mode::Existing : Store::Mode::Create,
                    StoreOptions{{}, kDefaultTtl, options.config.pdns_schema});
        store.on_changed_names(
            [&purger](const std::vector<std::string>& names) { purger.purge(names); });
        if (verb == "list") {
            out << "account\thosts\toperator\n";
            for (const AccountRecord& r : store.accounts()) {
                std::string hosts;
                for (const std::string& h : r.hosts)
                    hosts += (hosts.empty() ? "" : ",") + h;
                out << escape_field(r.name) << '\t' << (hosts.empty() ? "-" : hosts) << '\t'
                    << (r.admin ? "yes" : "no") << '\n';
            }
            return out ? 0 : 1;
        }
        const std::string& user = a[1];
        if (!is_user_name(user)) {
            err << "tovix-server: a user name has 1 to 64 characters and no colon\n";
            return 2;
        }
        std::vector<std::string> hosts;
        if (verb == "add" || verb == "hosts") {
            std::string bad;
            const auto given = parse_host_list({a.begin() + 2, a.end()}, kCommandLineHosts, &bad);
            if (!given) {
                err << "tovix-server: '" << bad << "' is not a fully qualified host name\n";
                return 2;
            }
            hosts = *given;
        }
        bool done = false;
        if (verb == "remove") {
            done = store.remove_account(user);
        } else if (verb == "admin") {
            done = store.set_admin(user, a[2] == "on");
        } else if (verb == "hosts") {
            done = store.set_hosts(user, hosts);
        } else {
            std::string why;
            std::optional<std::string> password = read_new_password(user, &why);
            if (!password) {
                err << "tovix-server: " << why << '\n';
                return 1;
            }
            done = verb == "add"
                       ? store.add_account({user, hash_password(*password), hosts, options.admin})
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

} // namespace tovix::server
