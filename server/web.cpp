// The web page: routes, sessions, forms and their checks. Every page is a
// Mustache template rendered with escaping on; every state-changing form
// carries the session's CSRF token and comes from this site; nothing here
// writes SQL: the store, the authenticator and the committer do the work,
// as they do for the command line and the updates.
#include "web.h"

#include "auth/account_rules.h"
#include "auth/passwords.h"
#include "auth/sessions.h"
#include "auth/tokens.h"
#include "base/metrics.h"
#include "base/strings.h"
#include "cli.h"
#include "dns/names.h"
#include "dns/zone.h"
#include "update/dyndns.h"

#include <mstch/mstch.hpp>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <iterator>
#include <ctime>
#include <map>
#include <sstream>

namespace tovix::server {

namespace {

constexpr std::size_t kHistoryPage = 20;
constexpr std::size_t kTokenPage = 10;

// The texts of the page in each language: strings.tsv, "key\ten\tzh".
struct Texts {
    mstch::map en, zh;
    std::map<std::string, std::string> en_plain, zh_plain;
};

const Texts& texts() {
    static const Texts t = [] {
        Texts out;
        std::istringstream in(*web_file("strings.tsv"));
        std::string line;
        while (std::getline(in, line)) {
            const std::size_t a = line.find('\t'), b = line.find('\t', a + 1);
            if (a == std::string::npos || b == std::string::npos)
                continue;
            const std::string key = line.substr(0, a);
            out.en_plain[key] = line.substr(a + 1, b - a - 1);
            out.zh_plain[key] = line.substr(b + 1);
            out.en.emplace(key, out.en_plain[key]);
            out.zh.emplace(key, out.zh_plain[key]);
        }
        return out;
    }();
    return t;
}

// The language a browser asks for first, of the two the page has.
bool wants_chinese(const HttpRequest& request) {
    for (const auto& [name, value] : request.headers) {
        if (iequals(name, "Cookie")) {
            if (value.find("tovix_lang=zh") != std::string::npos)
                return true;
            if (value.find("tovix_lang=en") != std::string::npos)
                return false;
        }
    }
    double zh = 0, en = 0;
    for (const std::string& item : split_list(request.header("Accept-Language").value_or(""))) {
        const std::vector<std::string> parts = split_list(item, ';');
        if (parts.empty())
            continue;
        double q = 1;
        for (std::size_t i = 1; i < parts.size(); ++i) {
            const std::string_view p = trim(parts[i]);
            if (p.rfind("q=", 0) == 0)
                q = std::atof(std::string(p.substr(2)).c_str());
        }
        const std::string tag(trim(parts[0]));
        if ((tag.size() >= 2 && iequals(tag.substr(0, 2), "zh")) && q > zh)
            zh = q;
        if ((tag.size() >= 2 && iequals(tag.substr(0, 2), "en")) && q > en)
            en = q;
    }
    return zh > en;
}

std::string cookie(const HttpRequest& request, const std::string& name) {
    for (const auto& [header, value] : request.headers) {
        if (!iequals(header, "Cookie"))
            continue;
        for (const std::string& part : split_list(value, ';')) {
            const std::string item(trim(part));
            if (item.size() > name.size() && item.compare(0, name.size(), name) == 0 &&
                item[name.size()] == '=')
                return item.substr(name.size() + 1);
        }
    }
    return {};
}

// An application/x-www-form-urlencoded body.
std::map<std::string, std::string> parse_form(const std::string& body) {
    std::map<std::string, std::string> out;
    for (const std::string& pair : split_list(body, '&')) {
        const std::size_t eq = pair.find('=');
        out.emplace(url_decode(pair.substr(0, eq)),
                    eq == std::string::npos ? std::string() : url_decode(pair.substr(eq + 1)));
    }
    return out;
}

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

// A POST from another site. Browsers say where a request comes from in
// Sec-Fetch-Site; without it, by Origin, which a browser sends as "null"
// under Referrer-Policy: no-referrer (then the CSRF token alone decides).
bool foreign(const HttpRequest& request) {
    if (std::optional<std::string> site = request.header("Sec-Fetch-Site"))
        return !iequals(*site, "same-origin") && !iequals(*site, "none");
    const std::optional<std::string> origin = request.header("Origin");
    if (!origin || *origin == "null")
        return false;
    const std::string host = request.header("Host").value_or("");
    return *origin != (request.https ? "https://" : "http://") + host;
}

// Where the language switch may send the browser back to: a path of this
// site in the characters its own paths use, else the start. Anything more
// ("//host", "/\\host", a tab or a space that browsers drop) could lead
// off the site.
std::string own_path(const std::string& back) {
    const bool safe = back.size() <= 256 && back.size() >= 1 && back[0] == '/' &&
                      back.rfind("//", 0) != 0 &&
                      std::all_of(back.begin(), back.end(), [](char ch) {
                          return std::isalnum(static_cast<unsigned char>(ch)) || ch == '/' ||
                                 ch == '.' || ch == '-' || ch == '_';
                      });
    return safe ? back : "/";
}

std::string when(std::int64_t t, const std::map<std::string, std::string>& words) {
    return t ? format_utc(static_cast<std::time_t>(t)) : words.at("never");
}

} // namespace

struct WebPages::Call {
    HttpRequest request;
    std::string caller;
    Respond send;
    bool chinese = false;
    std::map<std::string, std::string> form;
    // Signed in: the session's id, and its account as it is now.
    std::string session_id;
    std::optional<AccountRecord> account;

    const std::map<std::string, std::string>& words() const {
        return chinese ? texts().zh_plain : texts().en_plain;
    }
    void respond(HttpResponse response) const { send(std::move(response), account.has_value()); }
    std::string word(const std::string& key) const {
        auto found = words().find(key);
        return found == words().end() ? key : found->second;
    }

    // Headers every answer of the page carries.
    HttpResponse answer(int status, std::string body, Fields headers = {}) const {
        headers.emplace_back("Content-Security-Policy",
                             "default-src 'self'; form-action 'self'; frame-ancestors 'none'");
        headers.emplace_back("X-Content-Type-Options", "nosniff");
        headers.emplace_back("Referrer-Policy", "no-referrer");
        headers.emplace_back("Cache-Control", "no-store");
        return {status, std::move(body), std::move(headers)};
    }
    void redirect(const std::string& to, Fields headers = {}) const {
        headers.emplace_back("Location", to);
        respond(answer(303, "", std::move(headers)));
    }

    void page(int status, const std::string& title, const std::string& body_template,
              mstch::map context, Fields headers = {}) const {
        context["t"] = chinese ? texts().zh : texts().en;
        context["title"] = word(title);
        if (account) {
            context["signed_in"] = true;
            context["account"] = account->name;
            context["admin"] = account->admin;
            context["csrf"] = csrf_token(session_id);
        }
        if (!context.count("notice")) {
            const std::string m = request.param("m").value_or("");
            if (!m.empty() && words().count(m))
                context["notice"] = word(m);
        }
        context["switch_url"] = "/lang?to=" + std::string(chinese ? "en" : "zh") +
                                "&back=" + (request.path.empty() ? "/" : request.path);
        headers.emplace_back("Content-Type", "text/html; charset=utf-8");
        respond(answer(status,
                       mstch::render(*web_file("layout.mustache"), context,
                                     {{"body", *web_file(body_template + ".mustache")}}),
                       std::move(headers)));
    }
    void not_found() const { page(404, "not_found", "message", {{"error", word("not_found")}}); }
    void busy() const {
        page(503, "busy", "message", {{"error", word("busy")}}, {{"Retry-After", "1"}});
    }
};

WebPages::WebPages(WebContext context) : c_(std::move(context)) {}

void WebPages::handle(const HttpRequest& request, const std::string& caller, Respond respond) {
    auto call = std::make_shared<Call>();
    call->request = request;
    call->request.headers.erase(
        std::remove_if(call->request.headers.begin(), call->request.headers.end(),
                       [](const auto& h) { return iequals(h.first, "Authorization"); }),
        call->request.headers.end());
    call->caller = caller;
    call->send = std::move(respond);
    call->chinese = wants_chinese(request);
    const std::string& path = request.path;
    const bool post = request.method == "POST";
    if (!post && request.method != "GET" && request.method != "HEAD")
        return call->respond(call->answer(405, "method not allowed", {{"Allow", "GET, POST"}}));
    const bool known = path == "/" || path == "/signin" || path == "/signout" ||
                       path == "/password" || path == "/hosts" || path == "/lang" ||
                       path == "/style.css" || path.rfind("/host/", 0) == 0 ||
                       path.rfind("/admin/", 0) == 0;
    if (!known)
        return call->respond(call->answer(404, "not found"));
    if (path == "/style.css")
        return call->respond(call->answer(200, *web_file("style.css"),
                                          {{"Content-Type", "text/css; charset=utf-8"}}));
    if (path == "/lang") {
        const std::string to = request.param("to").value_or("") == "zh" ? "zh" : "en";
        return call->redirect(
            own_path(request.param("back").value_or("/")),
            {{"Set-Cookie", "tovix_lang=" + to + "; Path=/; HttpOnly; SameSite=Lax" +
                                (request.https ? "; Secure" : "")}});
    }
    if (post) {
        if (foreign(request))
            return call->page(403, "forbidden", "message", {{"error", call->word("forbidden")}});
        call->form = parse_form(request.body);
    }
    if (path == "/signin" && post)
        return sign_in(call);
    if (!c_.workers.run([this, call] { route(call); }))
        call->busy();
}

// On a worker: the session, then the page.
void WebPages::route(const std::shared_ptr<Call>& call) {
    const HttpRequest& r = call->request;
    const bool post = r.method == "POST";
    try {
        const std::string id = cookie(r, session_cookie_name(r.https));
        call->account = c_.auth.session(id);
        if (call->account)
            call->session_id = id;
        const std::string& path = r.path;
        if (path == "/signin" || path == "/") {
            if (call->account)
                return call->redirect("/hosts");
            if (path == "/")
                return call->redirect("/signin");
            const bool allowed = r.https || c_.plain_sign_in();
            return call->page(allowed ? 200 : 403, "sign_in", "signin",
                              {{"refused_http", !allowed}});
        }
        if (!call->account) {
            // An expired or forged session goes back to sign in; so does
            // a form, which then changes nothing.
            const bool had = !id.empty();
            return call->redirect(had ? "/signin?m=session_gone" : "/signin",
                                  had ? Fields{{"Set-Cookie", session_cookie(r.https, "", true)}}
                                      : Fields{});
        }
        if (post && !same_secret(call->form["csrf"], csrf_token(call->session_id)))
            return call->page(403, "forbidden", "message", {{"error", call->word("forbidden")}});
        if (path == "/signout" && post) {
            c_.auth.end_session(call->session_id);
            return call->redirect("/signin?m=signed_out",
                                  {{"Set-Cookie", session_cookie(r.https, "", true)}});
        }
        if (path == "/password")
            return post ? change_password(call)
                        : call->page(200, "change_password", "password", {});
        if (path == "/hosts" && !post)
            return my_hosts(call);
        if (path.rfind("/host/", 0) == 0) {
            const std::string rest = path.substr(6);
            const std::size_t slash = rest.find('/');
            const std::string host = rest.substr(0, slash);
            const auto& hosts = call->account->hosts;
            if (!std::binary_search(hosts.begin(), hosts.end(), host))
                return call->not_found();
            if (slash == std::string::npos)
                return post ? call->not_found() : host_page(call, host);
            if (post)
                return host_post(call, host, rest.substr(slash + 1));
            return call->not_found();
        }
        if (path.rfind("/admin/", 0) == 0 && call->account->admin)
            return operator_page(call, path.substr(7));
        call->not_found();
    } catch (const StoreError& e) {
        std::fprintf(stderr, "tovix-server: web page %s: %s\n", log_field(r.path).c_str(),
                     e.what());
        call->page(500, "failed", "message", {{"error", call->word("failed")}});
    }
}

// The sign-in form goes through the authenticator, as an update's
// credentials do: the same Argon2id check and the same guard. A refusal
// by the guard says to come back later, never that the password is wrong.
void WebPages::sign_in(const std::shared_ptr<Call>& call) {
    if (!call->request.https && !c_.plain_sign_in())
        return call->page(403, "sign_in", "signin", {{"refused_http", true}});
    Credentials credentials(call->form["user"], call->form["password"]);
    wipe(call->form["password"]);
    call->request.body.clear();
    c_.auth.check(call->caller, credentials, [this, call](const Verdict& verdict) {
        const bool good = verdict.outcome == Verdict::Outcome::Good && !verdict.token;
        if (verdict.outcome == Verdict::Outcome::Throttled)
            return c_.workers.later(c_.throttled_delay_ms, [call] {
                call->page(503, "sign_in", "signin", {{"error", call->word("retry_later")}},
                           {{"Retry-After", "60"}});
            });
        if (verdict.outcome == Verdict::Outcome::Busy)
            return call->page(503, "sign_in", "signin", {{"error", call->word("retry_later")}},
                              {{"Retry-After", std::to_string(verdict.retry_after)}});
        if (!good)
            return call->page(403, "sign_in", "signin", {{"error", call->word("wrong_password")}});
        const std::string account = verdict.account->name;
        const bool queued = c_.workers.run([this, call, account] {
            std::optional<std::string> id;
            try {
                id = c_.auth.start_session(account);
                if (!id)
                    return call->page(403, "sign_in", "signin",
                                      {{"error", call->word("wrong_password")}});
            } catch (const StoreError&) {
                return call->page(500, "sign_in", "signin", {{"error", call->word("failed")}});
            }
            call->redirect("/hosts",
                           {{"Set-Cookie", session_cookie(call->request.https, *id, false)}});
        });
        if (!queued)
            call->busy();
    });
}

// The old password is checked as a sign-in is; the change ends every
// session of the account, this one too.
void WebPages::change_password(const std::shared_ptr<Call>& call) {
    std::string fresh = call->form["new"];
    wipe(call->form["new"]);
    if (fresh.size() < kMinPagePassword)
        return call->page(400, "change_password", "password",
                          {{"error", call->word("password_short")}});
    Credentials old(call->account->name, call->form["old"]);
    wipe(call->form["old"]);
    c_.auth.check(call->caller, old, [this, call, fresh](const Verdict& verdict) mutable {
        if (verdict.outcome == Verdict::Outcome::Throttled ||
            verdict.outcome == Verdict::Outcome::Busy)
            return call->page(503, "change_password", "password",
                              {{"error", call->word("retry_later")}},
                              {{"Retry-After", std::to_string(std::max(1, verdict.retry_after))}});
        if (verdict.outcome != Verdict::Outcome::Good || verdict.token)
            return call->page(403, "change_password", "password",
                              {{"error", call->word("wrong_old_password")}});
        const bool queued = c_.workers.run([this, call, fresh]() mutable {
            try {
                c_.store.set_password(call->account->name, hash_password(fresh));
                c_.auth.refresh();
            } catch (const StoreError&) {
                wipe(fresh);
                return call->page(500, "change_password", "password",
                                  {{"error", call->word("failed")}});
            }
            wipe(fresh);
            call->redirect("/signin?m=password_changed",
                           {{"Set-Cookie", session_cookie(call->request.https, "", true)}});
        });
        if (!queued)
            call->busy();
    });
}

void WebPages::my_hosts(const std::shared_ptr<Call>& call) {
    std::map<std::string, Host> stored;
    for (Host& h : c_.store.hosts())
        if (h.account == call->account->name)
            stored.emplace(h.name, std::move(h));
    const std::map<std::string, Activity> activity = c_.store.activity();
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
                     std::to_string(seen.malformed) + "; " + when(seen.fault_at, w) + ")";
        list.push_back(mstch::map{
            {"name", name},
            {"ipv4", host.ipv4.empty() ? "-" : host.ipv4},
            {"ipv6", host.ipv6.empty() ? "-" : host.ipv6},
            {"wildcard", w.at(host.wildcard ? "on" : "off")},
            {"mx", host.mx.empty() ? "-" : host.mx},
            {"backmx", w.at(host.backmx ? "yes" : "no")},
            {"offline", host.offline},
            {"updated", when(host.updated_at, w)},
            {"seen", seen.seen_at ? when(seen.seen_at, w) + " " + seen.seen_caller : w.at("never")},
            {"faults", faults},
            {"router_url", "https://" + server + "/nic/update?hostname=" + name},
            {"ddclient", "protocol=dyndns2\nuse=web, web=https://" + server +
                             "/checkip\nssl=yes\nserver=" + server + "\nlogin=" + name +
                             "\npassword=TOKEN\n" + name},
            {"inadyn", "custom tovix {\n    ssl            = true\n    username       = " + name +
                           "\n    password       = TOKEN\n    checkip-server = " + server +
                           "\n    checkip-path   = /checkip\n    ddns-server    = " + server +
                           "\n    ddns-path      = \"/nic/update?hostname=%h&myip=%i\"\n"
                           "    hostname       = " +
                           name + "\n}"},
        });
    }
    call->page(200, "my_hosts", "hosts", {{"hosts", list}});
}

void WebPages::host_page(const std::shared_ptr<Call>& call, const std::string& name,
                         const std::string& fresh_token) {
    const auto& w = call->words();
    Host host;
    host.name = name;
    for (Host& h : c_.store.hosts())
        if (h.name == name)
            host = std::move(h);
    const std::optional<int> asked =
        parse_decimal(call->request.param("page").value_or("0"), 0, 1000);
    const std::size_t page = static_cast<std::size_t>(asked.value_or(0));
    const std::vector<HistoryEntry> history = c_.store.history(name, (page + 1) * kHistoryPage + 1);
    mstch::array rows;
    for (std::size_t i = page * kHistoryPage; i < history.size() && rows.size() < kHistoryPage;
         ++i) {
        const HistoryEntry& e = history[i];
        const auto what = w.find("what_" + e.what);
        rows.push_back(mstch::map{
            {"time", when(e.time, w)},
            {"what", what == w.end() ? e.what : what->second},
            {"before", e.before},
            {"after", e.after},
            {"by", e.origin.credential +
                       (e.origin.caller.empty() ? std::string() : " " + e.origin.caller)}});
    }
    const std::vector<TokenRecord> all_tokens = c_.store.tokens(name);
    const std::size_t token_page = std::min<std::size_t>(
        parse_decimal(call->request.param("tokens").value_or("0"), 0, 1000).value_or(0),
        all_tokens.empty() ? 0 : (all_tokens.size() - 1) / kTokenPage);
    mstch::array tokens;
    for (std::size_t i = token_page * kTokenPage;
         i < all_tokens.size() && tokens.size() < kTokenPage; ++i) {
        const TokenRecord& t = all_tokens[i];
        tokens.push_back(mstch::map{{"id", std::to_string(t.id)},
                                    {"host", name},
                                    {"label", t.label},
                                    {"created", when(t.created, w)},
                                    {"last_used", when(t.last_used, w)}});
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
        {"router_url", "https://" + server_name(call->request) + "/nic/update?hostname=" + name},
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
    call->page(200, name, "host", std::move(context));
}

void WebPages::host_post(const std::shared_ptr<Call>& call, const std::string& host,
                         const std::string& action) {
    auto& form = call->form;
    if (action == "offline" || action == "settings")
        return change_host(call, host, action == "settings");
    if (action == "token") {
        if (form["label"].size() > 255)
            return call->page(400, "tokens", "message", {{"error", call->word("label")}});
        const std::string token = make_token();
        const NewToken made =
            c_.store.add_token(host, token_digest(token), form["label"], std::time(nullptr));
        if (made.full)
            return call->page(400, "tokens", "message", {{"error", call->word("too_many_tokens")}});
        if (!made)
            return call->not_found();
        c_.auth.refresh();
        return host_page(call, host, token);
    }
    if (action == "revoke") {
        const std::optional<int> id = parse_decimal(form["id"], 1, 999999999);
        if (!id || !c_.store.remove_token(host, *id))
            return call->not_found();
        c_.auth.refresh();
        return call->redirect("/host/" + host + "?m=revoked");
    }
    call->not_found();
}

// Offline, online and the settings go the way of an update: through the
// committer, into the history with the account that made them, purged from
// PowerDNS's caches.
void WebPages::change_host(const std::shared_ptr<Call>& call, const std::string& name,
                           bool settings) {
    auto& form = call->form;
    std::optional<Host> current;
    for (Host& h : c_.store.hosts())
        if (h.name == name)
            current = std::move(h);
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
            return call->page(400, "settings", "message", {{"error", call->word("bad_mx")}});
        u.wildcard = form.count("wildcard") > 0;
        u.backmx = form.count("backmx") > 0;
    } else {
        u.offline = form["offline"] == "yes";
    }
    u.origin = {call->caller, call->request.header("User-Agent").value_or(""), call->request.https,
                "web account " + call->account->name};
    const bool queued =
        c_.committer.submit({u}, [call, name](std::optional<std::vector<Applied>> applied) {
            if (!applied)
                return call->redirect("/host/" + name + "?m=failed");
            if (applied->empty() || !(*applied)[0].owned)
                return call->not_found();
            call->redirect("/host/" + name + "?m=saved");
        });
    if (!queued)
        call->busy();
}

void WebPages::operator_page(const std::shared_ptr<Call>& call, const std::string& page) {
    const bool post = call->request.method == "POST";
    auto& form = call->form;
    if (page == "server" && !post) {
        std::string zones;
        for (const std::string& z : c_.zones)
            zones += (zones.empty() ? "" : ", ") + z;
        return call->page(200, "server", "server",
                          {{"version", std::string(TOVIX_VERSION)},
                           {"zones", zones},
                           {"database", c_.database},
                           {"accounts", std::to_string(c_.store.accounts().size())},
                           {"hosts", std::to_string(c_.store.hosts().size())},
                           {"updates", std::to_string(metrics().updates_durable.load())}});
    }
    if (page == "accounts" && !post)
        return accounts_page(call);
    if (!post)
        return call->not_found();
    const std::string name = form["name"];
    const std::optional<AccountRecord> before = c_.store.account(name);
    if (page == "remove") {
        if (name == call->account->name)
            return accounts_page(call, {}, call->word("not_yourself"));
        if (!before || !c_.store.remove_account(name))
            return accounts_page(call, {}, call->word("no_account"));
        c_.auth.refresh();
        return call->redirect("/admin/accounts?m=account_removed");
    }
    if (page != "accounts" && page != "hosts")
        return call->not_found();
    std::string bad;
    const std::optional<std::vector<std::string>> hosts =
        parse_host_list({form["hosts"]}, kFormHosts, &bad);
    if (!hosts)
        return accounts_page(call, {}, call->word("bad_host") + " " + bad);
    try {
        if (page == "hosts") {
            if (!before || !c_.store.set_hosts(name, *hosts))
                return accounts_page(call, {}, call->word("no_account"));
            c_.auth.refresh();
            return call->redirect("/admin/accounts?m=hosts_set");
        }
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

void WebPages::accounts_page(const std::shared_ptr<Call>& call, const std::string& new_password,
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
