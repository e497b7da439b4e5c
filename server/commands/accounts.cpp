// `tovix-server account`: accounts added, changed, removed and listed, by
// the account rules of auth/account_rules.h. A new password is read from
// the terminal or standard input, never from an argument.
#include "auth/account_rules.h"
#include "auth/passwords.h"
#include "base/strings.h"
#include "commands/commands.h"
#include "commands/listing.h"
#include "commands/secret_input.h"
#include "dns/purge.h"
#include "store/store.h"

#include <filesystem>
#include <ostream>

namespace tovix::server {

namespace {

int list_accounts(Store& store, const Options& options, std::ostream& out, std::ostream& err) {
    out << "account\thosts\toperator\n";
    const Listing listing{options.prefix, options.after, options.all};
    return print_pages(listing, out, err, [&](const PageQuery& query) {
        const std::vector<AccountRecord> accounts = store.accounts_page(query);
        for (const AccountRecord& r : accounts) {
            std::string hosts;
            for (const std::string& h : r.hosts)
                hosts += (hosts.empty() ? "" : ",") + h;
            out << escape_field(r.name) << '\t' << (hosts.empty() ? "-" : hosts) << '\t'
                << (r.admin ? "yes" : "no") << '\n';
        }
        return std::pair(accounts.size(), accounts.empty() ? std::string() : accounts.back().name);
    });
}

// What was done, in one line that names the database.
void confirm(std::ostream& out, const Options& options, const std::vector<std::string>& hosts) {
    const std::vector<std::string>& a = options.words;
    std::string list;
    for (const std::string& h : hosts)
        list += (list.empty() ? "" : ", ") + h;
    const std::string& verb = a[0];
    out << "account " << a[1]
        << (verb == "add"      ? std::string(options.admin ? " (operator)" : "") + " added"
            : verb == "passwd" ? ": password changed"
            : verb == "hosts"  ? ": hosts set"
            : verb == "admin"  ? (a[2] == "on" ? ": operator now" : ": no operator now")
                               : " removed, its records withdrawn")
        << (verb == "add" || verb == "hosts" ? " (hosts: " + (list.empty() ? "none" : list) + ")"
                                             : "")
        << " in " << options.config.db_path << '\n';
}

// add, passwd, hosts, admin or remove USER; throws StoreError.
int change_account(Store& store, const Options& options, std::ostream& out, std::ostream& err) {
    const std::vector<std::string>& a = options.words;
    const std::string& verb = a[0];
    const std::string& user = a[1];
    if (verb == "add" ? !is_new_user_name(user) : !is_user_name(user)) {
        err << "tovix-server: '" << user << "': "
            << (verb == "add" ? kUserNameRule : "a user name has 1 to 64 characters and no colon")
            << '\n';
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
            << (verb == "add" ? " exists already" : " does not exist") << " in "
            << options.config.db_path << '\n';
        return 1;
    }
    confirm(out, options, hosts);
    return finished(out);
}

} // namespace

int account_command(const Options& options, std::ostream& out, std::ostream& err) {
    const bool listing = options.words[0] == "list";
    const std::string& db = options.config.db_path;
    if (!options.db_given && db.find("://") == std::string::npos && !std::filesystem::exists(db)) {
        err << "tovix-server: no database " << db
            << " here: name one with --db FILE (tovix-server makes its database when it first"
               " starts)\n";
        return 1;
    }
    return on_store(err, [&] {
        // A host withdrawn leaves the caches of --pdns-control's PowerDNS
        // (one last try as this returns).
        DnsPurger purger(options.config.pdns_control,
                         [&err](const std::string& line) { err << line << '\n'; });
        // Zones are the server's business; this only opens (or makes) the
        // file. A listing writes nothing: a running server would take any
        // write for a change of the accounts.
        // Without --db only an existing ./tovix-server.db is opened: a
        // command run in the wrong directory makes no database there.
        Store store(options.config.db_path,
                    listing || !options.db_given ? Store::Mode::Existing : Store::Mode::Create,
                    StoreOptions{{}, kDefaultTtl, options.config.pdns_schema});
        store.on_changed_names(
            [&purger](const std::vector<std::string>& names) { purger.purge(names); });
        return listing ? list_accounts(store, options, out, err)
                       : change_account(store, options, out, err);
    });
}

} // namespace tovix::server
