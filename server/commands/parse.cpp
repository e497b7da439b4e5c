// Parsing the command line with the table of options: the command, its
// words, each option as its row says, then what the options say together.
#include "base/strings.h"
#include "commands/table.h"
#include "dns/names.h"

namespace tovix::server {

namespace {

bool zone_arguments_ok(const Options& options, std::string* error) {
    const std::vector<std::string>& z = options.words;
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

// The words each command takes.
bool words_ok(const Options& options, std::string* error) {
    if (options.command == Options::Command::Zone && !zone_arguments_ok(options, error))
        return false;
    if (options.command == Options::Command::Account) {
        const std::vector<std::string>& a = options.words;
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
        if ((!options.prefix.empty() || !options.after.empty() || options.all) && verb != "list") {
            *error = "--prefix, --after and --all apply to account list";
            return false;
        }
    }
    const std::vector<std::string>& w = options.words;
    const std::string verb = w.empty() ? "" : w[0];
    if (options.command == Options::Command::Token &&
        !(((verb == "add" || verb == "list") && w.size() == 2) ||
          (verb == "remove" && w.size() == 3))) {
        *error = "token: expected add HOST, list HOST or remove HOST ID";
        return false;
    }
    if (options.command == Options::Command::Host) {
        const bool follow = verb == "follow" && w.size() == 3 && !options.suffix.empty();
        const bool other =
            (verb == "unfollow" || verb == "followers") && w.size() == 2 && options.suffix.empty();
        if (!follow && !other) {
            *error = "host: expected follow HOST ROUTER --suffix SUFFIX|--mac MAC, unfollow HOST"
                     " or followers ROUTER";
            return false;
        }
    }
    if (options.command == Options::Command::History && w.size() != 1) {
        *error = "history: expected one HOST";
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
    return words_ok(options, error);
}

// The arguments of one option: its value from "--name=value" or the next
// argument, checked against the table and applied. False with *error.
bool apply(Options& options, const OptionRow& row, std::optional<std::string> value,
           const std::vector<std::string>& args, std::size_t* i, std::string* error) {
    const bool serving = options.command == Options::Command::Serve;
    if (!row.value) {
        // A switch with a value, or one its command does not take, is
        // none that command knows.
        if (value || !takes(row.commands, options.command)) {
            *error = std::string("unknown option ") + row.name;
            return false;
        }
        return row.set(options, "", error);
    }
    if (!takes(row.commands, options.command)) {
        *error = std::string(row.name) + " does not apply to " + (serving ? "serving" : args[0]);
        return false;
    }
    if (!value) {
        if (*i + 1 >= args.size()) {
            *error = std::string(row.name) + " needs a value";
            return false;
        }
        value = args[++*i];
    }
    if (value->empty() && !row.empty_value) {
        *error = std::string(row.name) + " needs a value";
        return false;
    }
    return row.set(options, *value, error);
}

// Whether the command takes words after its name.
bool takes_words(Options::Command command) {
    return command == Options::Command::Account || command == Options::Command::Token ||
           command == Options::Command::History || command == Options::Command::Zone ||
           command == Options::Command::Host;
}

} // namespace

std::optional<Options> parse_command_line(const std::vector<std::string>& args,
                                          std::string* error) {
    Options options;
    std::size_t i = 0;
    if (!args.empty()) {
        if (const std::optional<Options::Command> command = command_named(args[0])) {
            options.command = *command;
            ++i;
        }
    }
    for (; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> value;
        const std::size_t eq = name.find('=');
        if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        if (name == "--help" || name == "-h" || name == "--version") {
            if (value) {
                *error = name + " takes no value";
                return std::nullopt;
            }
            options.command =
                name == "--version" ? Options::Command::Version : Options::Command::Help;
            return options;
        }
        if (name == "--account") {
            *error = "passwords stay off the command line: add accounts with"
                     " 'tovix-server account add USER HOST...'";
            return std::nullopt;
        }
        const bool word = name.rfind("-", 0) != 0;
        if (word && takes_words(options.command)) {
            options.words.push_back(name);
            continue;
        }
        const OptionRow* row = find_option(name);
        if (!row) {
            *error = word ? "unexpected argument " + name : "unknown option " + name;
            return std::nullopt;
        }
        if (!apply(options, *row, value, args, &i, error))
            return std::nullopt;
    }
    if (!check_consistency(options, error))
        return std::nullopt;
    return options;
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
