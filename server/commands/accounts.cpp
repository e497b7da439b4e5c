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

#include <ostream>

namespace tovix::server {

namespace {

int list_accounts(Store& store, std::ostream& out) {
    out << "account\thosts\toperator\n";
    for (const AccountRecord& r : store.accounts()) {
        std::string hosts;
        for (const std::string& h : r.hosts)
            hosts += (hosts.empty() ? "" : ",") + h;
        out << escape_field(r.name) << '\t' << (hosts.empty() ? "-" : hosts) << '\t'
            << (r.admin ? "yes" : "no") << '\n';
    }
    return finished(out);
}

// add, passwd, hosts, admin or remove USER; throws StoreError.
int change_account(Store& store, const Options& options, std::ostream& err) {
    const std::vector<std::string>& a = options.words;
    const std::string& verb = a[0];
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
}

} // namespace

int account_command(const Options& options, std::ostream& out, std::ostream& err) {
    const bool listing = options.words[0] == "list";
    return on_store(err, [&] {
        // A host withdrawn leaves the caches of --pdns-control's PowerDNS
        // (one last try as this returns).
        DnsPurger purger(options.config.pdns_control,
                         [&err](const std::string& line) { err << line << '\n'; });
        // Zones are the server's business; this only opens (or makes) the
        // file. A listing writes nothing: a running server would take any
        // write for a change of the accounts.
        Store store(options.config.db_path, listing ? Store::Mode::Existing : Store::Mode::Create,
                    StoreOptions{{}, kDefaultTtl, options.config.pdns_schema});
        store.on_changed_names(
            [&purger](const std::vector<std::string>& names) { purger.purge(names); });
        return listing ? list_accounts(store, out) : change_account(store, options, err);
    });
}

} // namespace tovix::server
