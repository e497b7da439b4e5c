// What --help prints and the manual page's option list: the synopsis and
// the commands' descriptions as text, the options from the table.
#include "commands/table.h"

#include <string_view>

namespace tovix::server {

namespace {

const char* const kSynopsis =
    "Usage: tovix-server [--listen ADDR:PORT] [--listen-tls ADDR[:PORT] --tls-cert FILE\n"
    "                    --tls-key FILE] [--trusted-proxy CIDR]...\n"
    "                    [--proxy-header x-forwarded-for|forwarded] [--db DB]\n"
    "                    [--zone NAME]... [--ttl SECONDS] [--no-default-account]\n"
    "                    [--public-addresses-only] [--reveal-owned-names]\n"
    "                    [--pdns-schema FILE] [--log-requests FILE]\n"
    "                    [--pdns-control SOCKET]... [--purge-wait MS] [--history N]\n"
    "                    [--activity-interval SECONDS] [--metrics-listen ADDR:PORT]\n"
    "                    [--no-web] [--web-allow-http]\n"
    "       tovix-server list [--prefix TEXT] [--after HOST] [--all] [--db DB]\n"
    "       tovix-server check [--db DB] [--zone NAME]... [--tls-cert FILE [--tls-key FILE]]\n"
    "                    [--dns ADDR:PORT] [--listen ADDR:PORT]\n"
    "       tovix-server account add USER HOST... [--admin] [--db DB]\n"
    "       tovix-server account admin USER on|off [--db DB]\n"
    "       tovix-server account passwd USER [--db DB]\n"
    "       tovix-server account hosts USER HOST... [--db DB]\n"
    "       tovix-server account remove USER [--db DB]\n"
    "       tovix-server account list [--prefix TEXT] [--after USER] [--all] [--db DB]\n"
    "       tovix-server token add HOST [--label TEXT] [--db DB]\n"
    "       tovix-server token list HOST [--db DB]\n"
    "       tovix-server token remove HOST ID [--db DB]\n"
    "       tovix-server history HOST [--limit N] [--db DB]\n"
    "       tovix-server host follow HOST ROUTER --suffix SUFFIX|--mac MAC [--db DB]\n"
    "       tovix-server host unfollow HOST [--db DB]\n"
    "       tovix-server host followers ROUTER [--db DB]\n"
    "       tovix-server zone add NAME [--dnssec] [--db DB] [--pdnsutil PATH]\n"
    "       tovix-server zone secure NAME|--requested [--db DB] [--pdnsutil PATH]\n"
    "       tovix-server zone ds NAME [--db DB]\n"
    "       tovix-server --help | --version\n"
    "\n"
    "Answers DynDNS-style update requests (GET /nic/update, GET /dyndns/update) and\n"
    "publishes the hosts in PowerDNS's tables of the same database (pdns_server\n"
    "--config-dir=server/dns --gsqlite3-database=FILE serves them). GET /checkip\n"
    "answers the caller's address; POST /update (acme-dns's call, with a host's\n"
    "name and token) sets the TXT record of its ACME DNS-01 challenge.\n"
    "\n"
    "";

// Each command as --help describes it, after the options.
const char* const kCommandsHelp =
    "  list                 print the stored hosts and exit, 100 to a page in the\n"
    "                       order of their names: --prefix TEXT those that start\n"
    "                       with TEXT, --after HOST the page after HOST (the\n"
    "                       last line says where the next page starts), --all\n"
    "                       every page\n"
    "  check                check the database (opens, writable, layout, file\n"
    "                       mode), each --zone (SOA and NS, and the serial\n"
    "                       PowerDNS answers at --dns, default 127.0.0.1:53),\n"
    "                       the certificate and key (match, 14 days left or\n"
    "                       more) and the built-in account (absent unless\n"
    "                       --listen is loopback); one ok or FAIL line each,\n"
    "                       exit status 0 only when all pass\n"
    "  account ...          add an account owning hosts (a name of letters,\n"
    "                       digits, '.', '_', '-' and '@'), set its password or\n"
    "                       hosts, remove or list accounts (as list pages its\n"
    "                       hosts: --prefix, --after, --all; a change says in\n"
    "                       one line what was done, in which database; without\n"
    "                       --db only an existing ./tovix-server.db is used);\n"
    "                       --admin or admin\n"
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
    "  history HOST         print the host's latest changes, newest first (a\n"
    "                       host no account owns: exit status 1, as token list)\n"
    "  host follow HOST ROUTER\n"
    "                       HOST's IPv6 address follows the LAN prefix ROUTER\n"
    "                       sends (ipv6prefix=ADDR/LEN in its updates), with\n"
    "                       --suffix behind it, or the identifier of --mac\n"
    "                       (modified EUI-64); both hosts of one account.\n"
    "                       unfollow: HOST keeps its address and follows no\n"
    "                       router; followers: the hosts that follow ROUTER\n"
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
    "  zone ds NAME         print the zone's DS records for its parent zone\n"
    "";

struct CommandName {
    const char* name;
    Options::Command command;
};
constexpr CommandName kCommands[] = {
    {"serving", Options::Command::Serve},   {"list", Options::Command::List},
    {"account", Options::Command::Account}, {"token", Options::Command::Token},
    {"history", Options::Command::History}, {"zone", Options::Command::Zone},
    {"check", Options::Command::Check},     {"host", Options::Command::Host}};

// --help's column for the text after an option and its value.
constexpr std::size_t kHelpColumn = 23;

// roff text: a hyphen is \-.
std::string roff(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '-')
            out += '\\';
        out += c;
    }
    return out;
}

} // namespace

std::optional<Options::Command> command_named(const std::string& word) {
    for (const CommandName& c : kCommands) {
        if (word == c.name && c.command != Options::Command::Serve)
            return c.command;
    }
    return std::nullopt;
}

const char* command_name(Options::Command command) {
    for (const CommandName& c : kCommands) {
        if (c.command == command)
            return c.name;
    }
    return "";
}

// "  --name VALUE" then its help from the column on, on the same line when
// there is room, each further line indented to the column.
std::string usage_text() {
    std::string text = kSynopsis;
    const std::string indent(kHelpColumn, ' ');
    for (const OptionRow& row : option_table()) {
        if (!row.help)
            continue;
        std::string head =
            std::string("  ") + row.name + (row.value ? std::string(" ") + row.value : "");
        text += head.size() < kHelpColumn ? head + std::string(kHelpColumn - head.size(), ' ')
                                          : head + "\n" + indent;
        for (const char* at = row.help; *at;) {
            const char* end = at;
            while (*end && *end != '\n')
                ++end;
            text.append(at, end);
            text += '\n';
            at = *end ? end + 1 : end;
            if (*at)
                text += indent;
        }
    }
    return text + kCommandsHelp;
}

std::string option_list_roff() {
    std::string out;
    for (const OptionRow& row : option_table()) {
        out += ".TP\n";
        out += row.value ? ".BI " + roff(row.name) + " \" " + roff(row.value) + "\"\n"
                         : ".B " + roff(row.name) + "\n";
        std::string commands;
        for (const CommandName& c : kCommands) {
            if (takes(row.commands, c.command))
                commands += (commands.empty() ? "" : ", ") + std::string(c.name);
        }
        out += roff(commands) + "\n";
    }
    return out;
}

} // namespace tovix::server
