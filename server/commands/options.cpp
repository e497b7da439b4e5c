// The table of options, and what each one's setter checks. --help and the
// manual page's option list are made from the same rows (usage.cpp), and
// parse.cpp parses with them.
#include "base/prefix.h"
#include "base/strings.h"
#include "commands/table.h"
#include "dns/names.h"

#include <algorithm>

namespace tovix::server {

namespace {

// A listening address, or `error` for `name`.
bool address(const char* name, const std::string& value, std::optional<ListenAddress> parsed,
             ListenAddress* out, std::string* error) {
    if (!parsed) {
        *error =
            std::string("bad ") + name + " '" + value + "': expected ADDR:PORT or [ADDR6]:PORT";
        return false;
    }
    *out = *parsed;
    return true;
}

bool set_listen(Options& o, const std::string& v, std::string* error) {
    return address("--listen", v, parse_listen(v), &o.listen, error);
}

// ADDR alone takes the HTTPS port.
bool set_listen_tls(Options& o, const std::string& v, std::string* error) {
    std::optional<ListenAddress> listen = parse_listen(v);
    if (!listen)
        listen = parse_listen(v.find(':') == std::string::npos ? v + ":443" : "[" + v + "]:443");
    ListenAddress at;
    if (!address("--listen-tls", v, listen, &at, error))
        return false;
    o.listen_tls = at;
    return true;
}

bool set_metrics_listen(Options& o, const std::string& v, std::string* error) {
    ListenAddress at;
    if (!address("--metrics-listen", v, parse_listen(v), &at, error))
        return false;
    o.metrics_listen = at;
    return true;
}

bool set_dns(Options& o, const std::string& v, std::string* error) {
    ListenAddress at;
    if (!address("--dns", v, parse_listen(v), &at, error))
        return false;
    o.dns = at;
    return true;
}

bool set_trusted_proxy(Options& o, const std::string& v, std::string* error) {
    if (o.config.proxies.add(v))
        return true;
    *error = "bad --trusted-proxy '" + v + "': expected an address or ADDR/BITS";
    return false;
}

bool set_proxy_header(Options& o, const std::string& v, std::string* error) {
    const std::optional<TrustedProxies::Header> header = TrustedProxies::parse_header(v);
    if (!header) {
        *error = "bad --proxy-header '" + v + "': expected x-forwarded-for or forwarded";
        return false;
    }
    o.config.proxies.set_header(*header);
    return true;
}

bool set_zone(Options& o, const std::string& v, std::string* error) {
    const std::string zone = normalize_host(v);
    if (!is_fqdn(zone)) {
        *error = "bad --zone '" + v + "': expected a name of two labels or more";
        return false;
    }
    o.config.zones.push_back(zone);
    return true;
}

bool set_ttl(Options& o, const std::string& v, std::string* error) {
    const std::optional<int> ttl = parse_decimal(v, 1, 86400);
    if (!ttl) {
        *error = "bad --ttl '" + v + "': expected 1 to 86400 seconds";
        return false;
    }
    o.config.ttl = *ttl;
    return true;
}

// A count from 1 to `max`, or `error` for `name`.
std::optional<int> count(const char* name, const std::string& v, int max, std::string* error) {
    const std::optional<int> n = parse_decimal(v, 1, max);
    if (!n)
        *error = std::string("bad ") + name + " '" + v + "': expected a number from 1";
    return n;
}

bool set_history(Options& o, const std::string& v, std::string* error) {
    const std::optional<int> n = count("--history", v, 86400, error);
    if (n)
        o.config.history = static_cast<std::size_t>(*n);
    return n.has_value();
}

bool set_purge_wait(Options& o, const std::string& v, std::string* error) {
    const std::optional<int> n = parse_decimal(v, 0, 10000);
    if (!n)
        *error = "bad --purge-wait '" + v + "': expected milliseconds from 0 to 10000";
    else
        o.config.purge_wait = std::chrono::milliseconds(*n);
    return n.has_value();
}

bool set_activity_interval(Options& o, const std::string& v, std::string* error) {
    const std::optional<int> n = count("--activity-interval", v, 86400, error);
    if (n)
        o.config.activity_interval = std::chrono::seconds(*n);
    return n.has_value();
}

bool set_limit(Options& o, const std::string& v, std::string* error) {
    const std::optional<int> n = count("--limit", v, 100000, error);
    if (n)
        o.limit = *n;
    return n.has_value();
}

bool set_label(Options& o, const std::string& v, std::string* error) {
    if (v.size() > 255) {
        *error = "--label has at most 255 characters";
        return false;
    }
    o.label = v;
    return true;
}

// --suffix or --mac: the host's part of its IPv6 address behind a router's
// prefix, one of the two.
bool set_suffix(Options& o, const char* name, const std::optional<std::string>& suffix,
                const std::string& v, const char* expected, std::string* error) {
    if (!o.suffix.empty()) {
        *error = "host follow takes one --suffix or --mac";
        return false;
    }
    if (!suffix) {
        *error = std::string("bad ") + name + " '" + v + "': expected " + expected;
        return false;
    }
    o.suffix = *suffix;
    return true;
}

// In the order --help lists them; the options without help are told with
// their command.
const std::vector<OptionRow> kOptions = {
    {"--listen", kServing | kCheck, "ADDR:PORT", false, set_listen,
     "address to listen on (default 127.0.0.1:80; IPv6 as\n"
     "[::1]:8080; port 0 picks a free port)"},
    {"--listen-tls", kServing, "ADDR[:PORT]", false, set_listen_tls,
     "also serve HTTPS there (default port 443), with"},
    {"--tls-cert", kServing | kCheck, "FILE", false,
     [](Options& o, const std::string& v, std::string*) {
         o.tls_cert_file = v;
         return true;
     },
     "the certificate chain (PEM) and"},
    {"--tls-key", kServing | kCheck, "FILE", false,
     [](Options& o, const std::string& v, std::string*) {
         o.tls_key_file = v;
         return true;
     },
     "its private key (PEM)"},
    {"--trusted-proxy", kServing, "CIDR", false, set_trusted_proxy,
     "a proxy whose forwarding header names the caller;\n"
     "repeatable. From anyone else the header is ignored"},
    {"--proxy-header", kServing, "x-forwarded-for|forwarded", false, set_proxy_header,
     "the header those proxies append the caller to\n"
     "(default x-forwarded-for); the other is never read"},
    {"--db", kEveryCommand, "FILE|URI", false,
     [](Options& o, const std::string& v, std::string*) {
         o.config.db_path = v;
         o.db_given = true;
         return true;
     },
     "the database of accounts, hosts and zones: an SQLite\n"
     "file (default tovix-server.db), or a PostgreSQL URI\n"
     "(postgresql://USER@HOST/DBNAME) that several\n"
     "servers may share"},
    {"--pdns-schema", kEveryCommand, "FILE", false,
     [](Options& o, const std::string& v, std::string*) {
         o.config.pdns_schema = v;
         return true;
     },
     "PowerDNS's schema for a new database (default: the\n"
     "file pdns-backend-sqlite3 or pdns-backend-pgsql\n"
     "installs under /usr/share/pdns-backend-*/schema/)"},
    {"--zone", kServing | kCheck, "NAME", true, set_zone,
     "a zone to serve, created with SOA and NS when missing;\n"
     "repeatable (default tovix.example). Hosts outside\n"
     "every zone are answered nohost"},
    {"--ttl", kServing | kZone | kHost, "SECONDS", false, set_ttl,
     "TTL of the published records (default 60)"},
    {"--no-default-account", kServing, nullptr, false,
     [](Options& o, const std::string&, std::string*) {
         o.config.default_account = false;
         return true;
     },
     "do not create the account tovix (password KoReL52,\n"
     "host home.tovix.example) in a new database; it is\n"
     "made only when the server listens on loopback alone\n"
     "and serves tovix.example"},
    {"--public-addresses-only", kServing, nullptr, false,
     [](Options& o, const std::string&, std::string*) {
         o.config.public_addresses_only = true;
         return true;
     },
     "publish public addresses only: refuse private ranges\n"
     "(10/8, 172.16/12, 192.168/16, 100.64/10, fc00::/7)\n"
     "and loopback (which only a server listening on\n"
     "loopback alone publishes anyway)"},
    {"--reveal-owned-names", kServing, nullptr, false,
     [](Options& o, const std::string&, std::string*) {
         o.config.reveal_owned_names = true;
         return true;
     },
     "answer !yours, not nohost, for a host of another\n"
     "account"},
    {"--log-requests", kServing, "FILE", false,
     [](Options& o, const std::string& v, std::string*) {
         o.config.log_path = v;
         return true;
     },
     "also append each request's log line to FILE"},
    {"--pdns-control", kServing | kAccount | kZone | kHost, "SOCKET", false,
     [](Options& o, const std::string& v, std::string*) {
         o.config.pdns_control.push_back(v);
         return true;
     },
     "the control socket of a PowerDNS serving the\n"
     "database (pdns.controlsocket in its --socket-dir);\n"
     "repeatable. Each change is purged from its caches"},
    {"--purge-wait", kServing, "MS", false, set_purge_wait,
     "how long an answer waits at most for those PowerDNS\n"
     "to purge what it changed (default 50; 0: not at all)"},
    {"--history", kServing, "N", false, set_history, "changes kept per host (default 100)"},
    {"--activity-interval", kServing, "SECONDS", false, set_activity_interval,
     "how often the hosts' last-seen times and faults are\n"
     "written (default 60); a crash loses at most that"},
    {"--metrics-listen", kServing, "ADDR:PORT", false, set_metrics_listen,
     "serve GET /metrics (Prometheus) and GET /healthz\n"
     "(200 ok, or 503 and why) there; off by default. The\n"
     "metrics tell of the traffic: keep them on loopback\n"
     "or a private network"},
    {"--no-web", kServing, nullptr, false,
     [](Options& o, const std::string&, std::string*) {
         o.config.web = false;
         return true;
     },
     "do not serve the web page (under /, beside the update\n"
     "paths) where owners manage their hosts and operators\n"
     "the accounts"},
    {"--web-allow-http", kServing, nullptr, false,
     [](Options& o, const std::string&, std::string*) {
         o.config.web_allow_http = true;
         return true;
     },
     "take the web page's sign-in over plain HTTP even when\n"
     "listening beyond loopback (otherwise HTTPS only)"},
    {"--dns", kCheck, "ADDR:PORT", false, set_dns, nullptr},
    {"--label", kToken, "TEXT", true, set_label, nullptr},
    {"--limit", kHistory, "N", false, set_limit, nullptr},
    {"--pdnsutil", kZone, "PATH", false,
     [](Options& o, const std::string& v, std::string*) {
         o.pdnsutil = v;
         return true;
     },
     nullptr},
    {"--prefix", kList | kAccount, "TEXT", false,
     [](Options& o, const std::string& v, std::string*) {
         o.prefix = v;
         return true;
     },
     nullptr},
    {"--after", kList | kAccount, "NAME", false,
     [](Options& o, const std::string& v, std::string*) {
         o.after = v;
         return true;
     },
     nullptr},
    {"--all", kList | kAccount, nullptr, false,
     [](Options& o, const std::string&, std::string*) {
         o.all = true;
         return true;
     },
     nullptr},
    {"--suffix", kHost, "SUFFIX", false,
     [](Options& o, const std::string& v, std::string* error) {
         return set_suffix(o, "--suffix", parse_suffix(v), v,
                           "the host's part of its IPv6 address, as ::21e:c2ff:fe12:3456 (within"
                           " the last 80 bits, the last 64 not all zero)",
                           error);
     },
     nullptr},
    {"--mac", kHost, "MAC", false,
     [](Options& o, const std::string& v, std::string* error) {
         return set_suffix(o, "--mac", mac_suffix(v), v,
                           "the MAC address of one interface, as 00:1e:c2:12:34:56", error);
     },
     nullptr},
    {"--admin", kAccount, nullptr, false,
     [](Options& o, const std::string&, std::string*) {
         o.admin = true;
         return true;
     },
     nullptr},
    {"--dnssec", kZone, nullptr, false,
     [](Options& o, const std::string&, std::string*) {
         o.dnssec = true;
         return true;
     },
     nullptr},
    {"--requested", kZone, nullptr, false,
     [](Options& o, const std::string&, std::string*) {
         o.requested = true;
         return true;
     },
     nullptr},
};

} // namespace

const std::vector<OptionRow>& option_table() {
    return kOptions;
}

const OptionRow* find_option(const std::string& name) {
    const std::vector<OptionRow>& rows = option_table();
    auto found = std::find_if(rows.begin(), rows.end(),
                              [&](const OptionRow& row) { return name == row.name; });
    return found == rows.end() ? nullptr : &*found;
}

} // namespace tovix::server
