// The operator's pages: the server's figures, and the accounts (added,
// given hosts, removed). The account rules are auth/account_rules.h's.
#include "auth/account_rules.h"
#include "auth/passwords.h"
#include "auth/tokens.h"
#include "base/metrics.h"
#include "dns/zone.h"
#include "web/call.h"
#include "web/pages.h"

#include <algorithm>
#include <cctype>

namespace tovix::server {

namespace {

// A query parameter's value: every byte but letters, digits and "-._~" as %XX.
std::string url_encode(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

} // namespace

void WebPages::server_page(const CallPtr& call, const Params&) {
    std::string zones;
    for (const std::string& z : c_.zones)
        zones += (zones.empty() ? "" : ", ") + z;
    // Hosts: those the accounts own, updated or not, as tovix_hosts counts.
    call->page(200, "server", "server",
               {{"version", std::string(TOVIX_VERSION)},
                {"zones", zones},
                {"database", c_.database},
                {"accounts", std::to_string(c_.auth.accounts())},
                {"hosts", std::to_string(c_.auth.hosts())},
                {"updates", std::to_string(metrics().updates_durable.load())}});
}

void WebPages::accounts_list(const CallPtr& call, const Params&) {
    accounts_page(call);
}

void WebPages::confirm_remove(const CallPtr& call, const Params&) {
    const std::string name = call->request.param("name").value_or("");
    const std::optional<AccountRecord> account = c_.store.account(name);
    if (!account)
        return call->not_found();
    std::string hosts;
    for (const std::string& h : account->hosts)
        hosts += (hosts.empty() ? "" : ", ") + h;
    call->page(200, "confirm_remove_title", "confirm",
               {{"what", call->word("confirm_remove") + " " + name +
                             (hosts.empty() ? "" : " (" + hosts + ")")},
                {"note", call->word("confirm_remove_note")},
                {"action", std::string("/admin/remove")},
                {"field", std::string("name")},
                {"value", name},
                {"confirm_label", call->word("remove")},
                {"back", std::string("/admin/accounts")}});
}

void WebPages::remove_account(const CallPtr& call, const Params&) {
    const std::string name = call->form["name"];
    const std::optional<AccountRecord> before = c_.store.account(name);
    if (name == call->account->name)
        return accounts_page(call, {}, call->word("not_yourself"));
    if (!before || !c_.store.remove_account(name))
        return accounts_page(call, {}, call->word("no_account"));
    c_.auth.refresh();
    metrics().page_action(Metrics::kAccountRemoved);
    call->redirect("/admin/accounts?m=account_removed");
}

namespace {

// A text of strings.tsv with {host}, {other} and {account} filled in.
std::string fill(std::string text, const std::map<std::string, std::string>& values) {
    for (const auto& [name, value] : values) {
        const std::string mark = "{" + name + "}";
        for (std::size_t at = text.find(mark); at != std::string::npos;
             at = text.find(mark, at + value.size()))
            text.replace(at, mark.size(), value);
    }
    return text;
}

// Why the store will not give a host to the account, in the page's words.
std::string refusal(const WebPages::Call& call, const HostRefused& e) {
    static const char* const keys[] = {"host_apex", "host_ns", "host_taken", "host_under",
                                       "host_over"};
    return fill(call.word(keys[static_cast<int>(e.why)]),
                {{"host", e.host}, {"other", e.other}, {"account", e.account}});
}

} // namespace

// The form's hosts, then `change` with them: each a host name inside a
// zone this server serves; what the store refuses (a host that cannot be
// the account's) is said on the page, and the add form keeps its input.
void WebPages::with_form_hosts(const CallPtr& call,
                               const std::function<void(const std::vector<std::string>&)>& change) {
    const bool adding = call->request.path == "/admin/accounts";
    std::string bad;
    const std::optional<std::vector<std::string>> hosts =
        parse_host_list({call->form["hosts"]}, kFormHosts, &bad);
    if (!hosts)
        return accounts_page(call, {}, call->word("bad_host") + " " + bad, adding);
    for (const std::string& host : *hosts)
        if (!zone_for(host, c_.zones))
            return accounts_page(call, {}, fill(call->word("host_no_zone"), {{"host", host}}),
                                 adding);
    try {
        change(*hosts);
    } catch (const HostRefused& e) {
        accounts_page(call, {}, refusal(*call, e), adding);
    } catch (const StoreError&) {
        accounts_page(call, {}, call->word("failed"), adding);
    }
}

void WebPages::set_hosts(const CallPtr& call, const Params&) {
    const std::string name = call->form["name"];
    const std::optional<AccountRecord> before = c_.store.account(name);
    with_form_hosts(call, [&](const std::vector<std::string>& hosts) {
        if (!before || !c_.store.set_hosts(name, hosts))
            return accounts_page(call, {}, call->word("no_account"));
        c_.auth.refresh();
        metrics().page_action(Metrics::kAccountHosts);
        call->redirect("/admin/accounts?m=hosts_set");
    });
}

// A password left empty is made (a token's length) and shown once.
void WebPages::add_account(const CallPtr& call, const Params&) {
    auto& form = call->form;
    const std::string name = form["name"];
    with_form_hosts(call, [&](const std::vector<std::string>& hosts) {
        if (!is_new_user_name(name))
            return accounts_page(call, {}, call->word("bad_name"), true);
        std::string password = form["password"];
        wipe(form["password"]);
        if (!password.empty() && password.size() < kMinPagePassword) {
            wipe(password);
            return accounts_page(call, {}, call->word("password_short"), true);
        }
        const bool made = password.empty();
        if (made)
            password = make_token();
        const bool added =
            c_.store.add_account({name, hash_password(password), hosts, form.count("admin") > 0});
        if (!added) {
            wipe(password);
            return accounts_page(call, {}, call->word("account_exists"), true);
        }
        c_.auth.refresh();
        metrics().page_action(Metrics::kAccountAdded);
        accounts_page(call, made ? password : std::string());
        wipe(password);
    });
}

// A page of the accounts (kMaxPage), those whose name starts with
// ?prefix=, after ?after=; a link to the next page when it is full.
void WebPages::accounts_page(const CallPtr& call, const std::string& new_password,
                             const std::string& error, bool keep_form) {
    const HttpRequest& r = call->request;
    PageQuery query{r.param("prefix").value_or(""), r.param("after").value_or(""), kMaxPage};
    query.prefix.resize(std::min<std::size_t>(query.prefix.size(), 64));
    query.after.resize(std::min<std::size_t>(query.after.size(), 64));
    mstch::array list;
    const std::vector<AccountRecord> accounts = c_.store.accounts_page(query);
    for (const AccountRecord& a : accounts) {
        std::string hosts;
        for (const std::string& h : a.hosts)
            hosts += (hosts.empty() ? "" : ", ") + h;
        list.push_back(mstch::map{{"name", a.name}, {"hosts", hosts}, {"admin", a.admin}});
    }
    mstch::map context{{"accounts", list}, {"prefix", query.prefix}};
    if (accounts.size() == kMaxPage)
        context["next"] = "/admin/accounts?prefix=" + url_encode(query.prefix) +
                          "&after=" + url_encode(accounts.back().name);
    if (!query.after.empty())
        context["first"] = "/admin/accounts?prefix=" + url_encode(query.prefix);
    if (!new_password.empty())
        context["new_password"] = new_password;
    if (call->request.method == "POST" && error.empty())
        context["notice"] = call->word("account_added");
    if (!error.empty())
        context["error"] = error;
    if (keep_form) {
        context["form_name"] = call->form["name"];
        context["form_hosts"] = call->form["hosts"];
        context["form_admin"] = call->form.count("admin") > 0;
    }
    call->page(error.empty() ? 200 : 400, "accounts", "accounts", std::move(context));
}

} // namespace tovix::server
