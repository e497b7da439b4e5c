// An owner's hosts: the list, a host's page (its addresses, settings,
// tokens and history), and the forms that change it.
#include "auth/credentials.h"
#include "auth/sessions.h"
#include "auth/tokens.h"
#include "base/metrics.h"
#include "base/strings.h"
#include "dns/zone.h"
#include "update/dyndns.h"
#include "web/call.h"
#include "web/pages.h"

#include <algorithm>
#include <cctype>
#include <ctime>

namespace tovix::server {

namespace {

constexpr std::size_t kHistoryPage = 20;
constexpr std::size_t kTokenPage = 10;

// The name this server was reached by, for the lines a user copies; only
// the characters a host name and port may hold.
std::string server_name(const HttpRequest& request) {
    const std::string host = request.header("Host").value_or("");
    const bool plain = !host.empty() && std::all_of(host.begin(), host.end(), [](char ch) {
        return std::isalnum(static_cast<unsigned char>(ch)) || ch == '.' || ch == '-' ||
               ch == ':' || ch == '[' || ch == ']';
    });
    return plain ? host : "SERVER";
}

// The address of this server as the page was reached: the scheme of its
// listener (or of the TLS proxy in front) and the name and port the
// browser used, so that the lines to copy work as pasted.
std::string base_url(const HttpRequest& request) {
    return (request.https ? "https://" : "http://") + server_name(request);
}

// ddclient's configuration for one host: it finds its address at
// /checkip of the same listener and updates through dyndns2.
std::string ddclient_lines(const HttpRequest& request, const std::string& host) {
    return "protocol=dyndns2\nuse=web, web=" + base_url(request) +
           "/checkip\nssl=" + (request.https ? "yes" : "no") + "\nserver=" + server_name(request) +
           "\nlogin=" + host + "\npassword=TOKEN\n" + host;
}

// inadyn's: both its update and its address check over the listener's
// scheme (inadyn checks over HTTPS unless checkip-ssl says otherwise).
std::string inadyn_lines(const HttpRequest& request, const std::string& host) {
    const std::string ssl = request.https ? "true" : "false";
    const std::string server = server_name(request);
    return "custom tovix {\n    ssl            = " + ssl + "\n    username       = " + host +
           "\n    password       = TOKEN\n    checkip-server = " + server +
           "\n    checkip-path   = /checkip\n    checkip-ssl    = " + ssl +
           "\n    ddns-server    = " + server +
           "\n    ddns-path      = \"/nic/update?hostname=%h&myip=%i\"\n    hostname       = " +
           host + "\n}";
}

// A page number asked for (?NAME=N), at most `last`.
std::size_t page_asked(const HttpRequest& request, const char* name, std::size_t last) {
    const std::optional<int> asked = parse_decimal(request.param(name).value_or("0"), 0, 1000);
    return std::min<std::size_t>(static_cast<std::size_t>(asked.value_or(0)), last);
}

} // namespace

void WebPages::my_hosts(const CallPtr& call, const Params&) {
    const std::vector<std::string>& names = call->account->hosts;
    std::map<std::string, Host> stored;
    for (Host& h : c_.store.hosts(names))
        if (h.account == call->account->name)
            stored.emplace(h.name, std::move(h));
    const std::map<std::string, Activity> activity = c_.store.activity(names);
    const std::string server = server_name(call->request);
    const auto& w = call->words();
    mstch::array list;
    for (const std::string& name : call->account->hosts) {
        const auto h = stored.find(name);
        Host host;
        host.name = name;
        if (h != stored.end())
            host = h->second;
        const auto a = activity.find(name);
        const Activity seen = a == activity.end() ? Activity{} : a->second;
        std::string faults = w.at("none");
        if (seen.faults())
            faults = std::to_string(seen.faults()) + " (" + w.at("badauth") + " " +
                     std::to_string(seen.badauth) + ", " + w.at("throttled") + " " +
                     std::to_string(seen.throttled) + ", " + w.at("malformed") + " " +
                     std::to_string(seen.malformed) + "; " + call->when(seen.fault_at) + ")";
        list.push_back(mstch::map{
            {"name", name},
            {"ipv4", host.ipv4.empty() ? "-" : host.ipv4},
            {"ipv6", host.ipv6.empty() ? "-" : host.ipv6},
            {"wildcard", w.at(host.wildcard ? "on" : "off")},
            {"mx", host.mx.empty() ? "-" : host.mx},
            {"backmx", w.at(host.backmx ? "yes" : "no")},
            {"offline", host.offline},
            {"updated", call->when(host.updated_at)},
            {"seen",
             seen.seen_at ? call->when(seen.seen_at) + " " + seen.seen_caller : w.at("never")},
            {"faults", faults},
            {"router_url", base_url(call->request) + "/nic/update?hostname=" + name},
            {"ddclient", ddclient_lines(call->request, name)},
            {"inadyn", inadyn_lines(call->request, name)},
        });
    }
    const bool has_hosts = !list.empty();
    call->page(200, "my_hosts", "hosts", {{"hosts", list}, {"has_hosts", has_hosts}});
}

// A new token goes from its form to the host's page through a redirect,
// so that a reload makes no second one: in a cookie for that page alone,
// sealed for the session, shown once and then cleared.
namespace {

constexpr char kNewTokenCookie[] = "tovix_new_token";

std::string new_token_cookie(bool https, const std::string& host, const std::string& value,
                             bool clear) {
    return std::string(kNewTokenCookie) + "=" + value + "; Path=/host/" + host +
           "; HttpOnly; SameSite=Strict" + (https ? "; Secure" : "") +
           (clear ? "; Max-Age=0" : "; Max-Age=300");
}

} // namespace

void WebPages::host_page(const CallPtr& call, const Params& params) {
    const std::string& host = params[0];
    if (!call->owns(host))
        return call->not_found();
    const std::string sealed = cookie(call->request, kNewTokenCookie);
    if (sealed.empty())
        return show_host(call, host);
    std::string fresh;
    if (std::optional<std::string> text = open_for_session(call->session_id, sealed)) {
        if (text->rfind(host + "\n", 0) == 0)
            fresh = text->substr(host.size() + 1);
        wipe(*text);
    }
    show_host(call, host, fresh,
              {{"Set-Cookie", new_token_cookie(call->request.https, host, "", true)}});
    wipe(fresh);
}

void WebPages::show_host(const CallPtr& call, const std::string& name,
                         const std::string& fresh_token, Fields headers, const std::string& error) {
    const auto& w = call->words();
    Host host;
    host.name = name;
    if (std::optional<Host> stored = c_.store.host(name))
        host = std::move(*stored);
    const std::size_t page = page_asked(call->request, "page", 1000);
    const std::vector<HistoryEntry> history = c_.store.history(name, (page + 1) * kHistoryPage + 1);
    mstch::array rows;
    for (std::size_t i = page * kHistoryPage; i < history.size() && rows.size() < kHistoryPage;
         ++i) {
        const HistoryEntry& e = history[i];
        const auto what = w.find("what_" + e.what);
        rows.push_back(mstch::map{
            {"time", call->when(e.time)},
            {"what", what == w.end() ? e.what : what->second},
            {"before", e.before},
            {"after", e.after},
            {"by", call->credential(e.origin.credential) +
                       (e.origin.caller.empty() ? std::string() : " " + e.origin.caller)}});
    }
    const std::vector<TokenRecord> all_tokens = c_.store.tokens(name);
    const std::size_t token_page = page_asked(
        call->request, "tokens", all_tokens.empty() ? 0 : (all_tokens.size() - 1) / kTokenPage);
    mstch::array tokens;
    for (std::size_t i = token_page * kTokenPage;
         i < all_tokens.size() && tokens.size() < kTokenPage; ++i) {
        const TokenRecord& t = all_tokens[i];
        tokens.push_back(mstch::map{{"id", std::to_string(t.id)},
                                    {"host", name},
                                    {"label", t.label},
                                    {"created", call->when(t.created)},
                                    {"last_used", call->when(t.last_used)}});
    }
    mstch::map context{
        {"name", name},
        {"ipv4", host.ipv4.empty() ? "-" : host.ipv4},
        {"ipv6", host.ipv6.empty() ? "-" : host.ipv6},
        {"offline", host.offline},
        {"wildcard", host.wildcard},
        {"mx", host.mx},
        {"backmx", host.backmx},
        {"tokens", tokens},
        {"history", rows},
        {"router_url", base_url(call->request) + "/nic/update?hostname=" + name},
    };
    if (token_page > 0)
        context["earlier_tokens"] = std::to_string(token_page - 1);
    if (all_tokens.size() > (token_page + 1) * kTokenPage)
        context["later_tokens"] = std::to_string(token_page + 1);
    if (page > 0)
        context["newer"] = std::to_string(page - 1);
    if (history.size() > (page + 1) * kHistoryPage)
        context["older"] = std::to_string(page + 1);
    if (!fresh_token.empty())
        context["new_token"] = fresh_token;
    if (!error.empty()) {
        context["error"] = error;
        context["mx"] = call->form["mx"];
        context["wildcard"] = call->form.count("wildcard") > 0;
        context["backmx"] = call->form.count("backmx") > 0;
    }
    call->page(error.empty() ? 200 : 400, name, "host",
               with_follow(c_.store, *call, name, std::move(context)), std::move(headers));
}

void WebPages::add_token(const CallPtr& call, const Params& params) {
    const std::string& host = params[0];
    if (!call->owns(host))
        return call->not_found();
    const std::string label = call->form["label"];
    if (label.size() > 255)
        return call->page(400, "tokens", "message", {{"error", call->word("label")}});
    const std::string token = make_token();
    const NewToken made = c_.store.add_token(host, token_digest(token), label, std::time(nullptr));
    if (made.full)
        return call->page(400, "tokens", "message", {{"error", call->word("too_many_tokens")}});
    if (!made)
        return call->not_found();
    c_.auth.refresh();
    metrics().page_action(Metrics::kTokenMade);
    std::string text = host + "\n" + token;
    const std::string sealed = seal_for_session(call->session_id, text);
    wipe(text);
    call->redirect("/host/" + host + "?m=token_made",
                   {{"Set-Cookie", new_token_cookie(call->request.https, host, sealed, false)}});
}

void WebPages::confirm_revoke(const CallPtr& call, const Params& params) {
    const std::string& host = params[0];
    if (!call->owns(host))
        return call->not_found();
    const std::optional<int> id =
        parse_decimal(call->request.param("id").value_or(""), 1, 999999999);
    std::optional<TokenRecord> token;
    for (const TokenRecord& t : c_.store.tokens(host))
        if (id && t.id == *id)
            token = t;
    if (!token)
        return call->not_found();
    const std::string label = token->label.empty() ? "" : " (" + token->label + ")";
    call->page(200, "confirm_revoke_title", "confirm",
               {{"what", call->word("confirm_revoke") + " " + call->word("token") + " " +
                             std::to_string(*id) + label + ", " + host},
                {"action", "/host/" + host + "/revoke"},
                {"field", std::string("id")},
                {"value", std::to_string(*id)},
                {"confirm_label", call->word("revoke")},
                {"back", "/host/" + host}});
}

void WebPages::revoke_token(const CallPtr& call, const Params& params) {
    const std::string& host = params[0];
    if (!call->owns(host))
        return call->not_found();
    const std::optional<int> id = parse_decimal(call->form["id"], 1, 999999999);
    if (!id || !c_.store.remove_token(host, *id))
        return call->not_found();
    c_.auth.refresh();
    metrics().page_action(Metrics::kTokenRevoked);
    call->redirect("/host/" + host + "?m=revoked");
}

void WebPages::set_offline(const CallPtr& call, const Params& params) {
    if (!call->owns(params[0]))
        return call->not_found();
    change_host(call, params[0], false);
}

void WebPages::set_settings(const CallPtr& call, const Params& params) {
    if (!call->owns(params[0]))
        return call->not_found();
    change_host(call, params[0], true);
}

// Offline, online and the settings go the way of an update: through the
// committer, into the history with the account that made them, purged from
// PowerDNS's caches.
void WebPages::change_host(const CallPtr& call, const std::string& name, bool settings) {
    auto& form = call->form;
    const std::optional<Host> current = c_.store.host(name);
    Update u;
    u.host = name;
    u.account = call->account->name;
    const std::optional<std::string> zone = zone_for(name, c_.zones);
    if (!zone)
        return call->page(400, "settings", "message", {{"error", call->word("no_zone")}});
    u.zone = *zone;
    u.offline = current && current->offline;
    if (settings) {
        bool bad = false;
        u.mx = parse_mx(form["mx"], &bad);
        if (bad || !u.mx)
            return show_host(call, name, {}, {},
                             call->word("bad_mx") + " " + std::string(trim(form["mx"])));
        u.wildcard = form.count("wildcard") > 0;
        u.backmx = form.count("backmx") > 0;
    } else {
        u.offline = form["offline"] == "yes";
    }
    u.origin = {call->caller, call->request.header("User-Agent").value_or(""), call->request.https,
                "web account " + call->account->name};
    const bool queued = c_.committer.submit(
        {u}, [call, name, settings](std::optional<std::vector<Applied>> applied) {
            if (!applied)
                return call->redirect("/host/" + name + "?m=failed");
            if (applied->empty() || !(*applied)[0].owned)
                return call->not_found();
            metrics().page_action(settings ? Metrics::kHostSettings : Metrics::kHostOffline);
            call->redirect("/host/" + name + "?m=saved");
        });
    if (!queued)
        call->busy();
}

} // namespace tovix::server
