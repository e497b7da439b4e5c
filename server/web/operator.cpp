// The operator's pages: the server's figures, and the accounts (added,
// given hosts, removed). The account rules are auth/account_rules.h's.
#include "auth/account_rules.h"
#include "auth/passwords.h"
#include "auth/tokens.h"
#include "base/metrics.h"
#include "web/call.h"
#include "web/pages.h"

namespace tovix::server {

namespace {

// The hosts of the form, or nothing with the page's error in *error.
std::optional<std::vector<std::string>> form_hosts(WebPages::Call& call, std::string* error) {
    std::string bad;
    std::optional<std::vector<std::string>> hosts =
        parse_host_list({call.form["hosts"]}, kFormHosts, &bad);
    if (!hosts)
        *error = call.word("bad_host") + " " + bad;
    return hosts;
}

} // namespace

void WebPages::server_page(const CallPtr& call, const Params&) {
    std::string zones;
    for (const std::string& z : c_.zones)
        zones += (zones.empty() ? "" : ", ") + z;
    call->page(200, "server", "server",
               {{"version", std::string(TOVIX_VERSION)},
                {"zones", zones},
                {"database", c_.database},
                {"accounts", std::to_string(c_.store.accounts().size())},
                {"hosts", std::to_string(c_.store.hosts().size())},
                {"updates", std::to_string(metrics().updates_durable.load())}});
}

void WebPages::accounts_list(const CallPtr& call, const Params&) {
    accounts_page(call);
}

void WebPages::remove_account(const CallPtr& call, const Params&) {
    const std::string name = call->form["name"];
    const std::optional<AccountRecord> before = c_.store.account(name);
    if (name == call->account->name)
        return accounts_page(call, {}, call->word("not_yourself"));
    if (!before || !c_.store.remove_account(name))
        return accounts_page(call, {}, call->word("no_account"));
    c_.auth.refresh();
    call->redirect("/admin/accounts?m=account_removed");
}

void WebPages::set_hosts(const CallPtr& call, const Params&) {
    const std::string name = call->form["name"];
    const std::optional<AccountRecord> before = c_.store.account(name);
    std::string error;
    const std::optional<std::vector<std::string>> hosts = form_hosts(*call, &error);
    if (!hosts)
        return accounts_page(call, {}, error);
    try {
        if (!before || !c_.store.set_hosts(name, *hosts))
            return accounts_page(call, {}, call->word("no_account"));
        c_.auth.refresh();
        call->redirect("/admin/accounts?m=hosts_set");
    } catch (const StoreError& e) {
        // The store says why a host cannot be the account's.
        accounts_page(call, {}, call->word("failed") + " " + e.what());
    }
}

// A password left empty is made (a token's length) and shown once.
void WebPages::add_account(const CallPtr& call, const Params&) {
    auto& form = call->form;
    const std::string name = form["name"];
    std::string error;
    const std::optional<std::vector<std::string>> hosts = form_hosts(*call, &error);
    if (!hosts)
        return accounts_page(call, {}, error);
    try {
        if (!is_user_name(name))
            return accounts_page(call, {}, call->word("bad_name"));
        std::string password = form["password"];
        wipe(form["password"]);
        const bool made = password.empty();
        if (made)
            password = make_token();
        const bool added =
            c_.store.add_account({name, hash_password(password), *hosts, form.count("admin") > 0});
        if (!added) {
            wipe(password);
            return accounts_page(call, {}, call->word("account_exists"));
        }
        c_.auth.refresh();
        accounts_page(call, made ? password : std::string());
        wipe(password);
    } catch (const StoreError& e) {
        // The store says why a host cannot be the account's.
        accounts_page(call, {}, call->word("failed") + " " + e.what());
    }
}

void WebPages::accounts_page(const CallPtr& call, const std::string& new_password,
                             const std::string& error) {
    mstch::array list;
    for (const AccountRecord& a : c_.store.accounts()) {
        std::string hosts;
        for (const std::string& h : a.hosts)
            hosts += (hosts.empty() ? "" : ", ") + h;
        list.push_back(mstch::map{{"name", a.name}, {"hosts", hosts}, {"admin", a.admin}});
    }
    mstch::map context{{"accounts", list}};
    if (!new_password.empty())
        context["new_password"] = new_password;
    if (call->request.method == "POST" && error.empty())
        context["notice"] = call->word("account_added");
    if (!error.empty())
        context["error"] = error;
    call->page(error.empty() ? 200 : 400, "accounts", "accounts", std::move(context));
}

} // namespace tovix::server
