// The web page: its route table, and the way every request goes through
// it. Every page is a Mustache template rendered with escaping on; every
// state-changing form carries the session's CSRF token and comes from this
// site; nothing here writes SQL: the store, the authenticator and the
// committer do the work, as they do for the command line and the updates.
#include "web/pages.h"

#include "auth/sessions.h"
#include "base/strings.h"
#include "http/routes.h"
#include "web/call.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>

namespace tovix::server {

namespace {

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

// Who may use a route, and so how far a request goes before its handler.
enum class Access {
    Open,     // answered at once on the HTTP thread: no form, no session
    Form,     // a POST from this site with its form read; no session
    Session,  // on a worker, the session looked up (there may be none)
    Owner,    // signed in (else sent to sign in); a POST carries the CSRF token
    Operator, // signed in as an operator (else not found)
};

} // namespace

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

struct WebPages::Route {
    Methods methods; // empty: GET, HEAD and POST (the page takes no other)
    std::string pattern;
    Access access;
    void (WebPages::*handler)(const CallPtr& call, const Params& params);
};

WebPages::WebPages(WebContext context) : c_(std::move(context)) {
    const Methods get{"GET", "HEAD"}, post{"POST"}, any{};
    routes_ = {
        {any, "/style.css", Access::Open, &WebPages::style},
        {any, "/lang", Access::Open, &WebPages::language},
        {post, "/signin", Access::Form, &WebPages::sign_in},
        {any, "/", Access::Session, &WebPages::start},
        {any, "/signin", Access::Session, &WebPages::sign_in_page},
        {post, "/signout", Access::Owner, &WebPages::sign_out},
        {get, "/password", Access::Owner, &WebPages::password_page},
        {post, "/password", Access::Owner, &WebPages::change_password},
        {get, "/hosts", Access::Owner, &WebPages::my_hosts},
        {get, "/host/{host}", Access::Owner, &WebPages::host_page},
        {post, "/host/{host}/token", Access::Owner, &WebPages::add_token},
        {get, "/host/{host}/revoke", Access::Owner, &WebPages::confirm_revoke},
        {post, "/host/{host}/revoke", Access::Owner, &WebPages::revoke_token},
        {post, "/host/{host}/offline", Access::Owner, &WebPages::set_offline},
        {post, "/host/{host}/settings", Access::Owner, &WebPages::set_settings},
        {post, "/host/{host}/follow", Access::Owner, &WebPages::follow},
        {post, "/host/{host}/unfollow", Access::Owner, &WebPages::unfollow},
        {any, "/host/{rest...}", Access::Owner, &WebPages::not_found},
        {get, "/admin/server", Access::Operator, &WebPages::server_page},
        {get, "/admin/accounts", Access::Operator, &WebPages::accounts_list},
        {post, "/admin/accounts", Access::Operator, &WebPages::add_account},
        {post, "/admin/hosts", Access::Operator, &WebPages::set_hosts},
        {get, "/admin/remove", Access::Operator, &WebPages::confirm_remove},
        {post, "/admin/remove", Access::Operator, &WebPages::remove_account},
        {any, "/admin/{rest...}", Access::Owner, &WebPages::not_found},
    };
}

WebPages::~WebPages() = default;

std::optional<HttpResponse> WebPages::refusal_page(const HttpRequest& head, int status) const {
    if (status != 413 && status != 414)
        return std::nullopt;
    std::optional<HttpResponse> out;
    Call call;
    call.request = head;
    call.chinese = wants_chinese(head);
    call.send = [&out](HttpResponse r, bool) { out = std::move(r); };
    const bool large = status == 413;
    call.page(status, large ? "too_large_title" : "too_long_title", "message",
              {{"error", call.word(large ? "too_large" : "too_long")}});
    return out;
}

// On the HTTP thread: the method, the route, what needs no session, and a
// POST's origin and form; the rest goes to a worker.
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
    const bool post = request.method == "POST";
    if (!post && request.method != "GET" && request.method != "HEAD")
        return call->respond(call->answer(405, "method not allowed", {{"Allow", "GET, POST"}}));
    // A path no row knows is not the page's; one whose rows take other
    // methods is, and is answered not found once the session is known.
    const RouteFound<Route> found = find_route(routes_, request.method, request.path);
    if (!found.first)
        return call->not_found();
    if (found.row && found.row->access == Access::Open)
        return (this->*found.row->handler)(call, found.params);
    if (post) {
        if (foreign(request))
            return call->page(403, "forbidden_title", "message",
                              {{"error", call->word("forbidden")}});
        call->form = parse_form(request.body);
    }
    if (found.row && found.row->access == Access::Form)
        return (this->*found.row->handler)(call, found.params);
    if (!c_.workers.run([this, call, route = found.row, params = found.params] {
            dispatch(call, route, params);
        }))
        call->busy();
}

// On a worker: the session, then the route; a database that fails is a
// page that says so.
void WebPages::dispatch(const CallPtr& call, const Route* route, const Params& params) {
    try {
        const std::string id = cookie(call->request, session_cookie_name(call->request.https));
        call->account = c_.auth.session(id);
        if (call->account)
            call->session_id = id;
        if (route && route->access == Access::Session)
            return (this->*route->handler)(call, params);
        if (!call->account) {
            // An expired or forged session goes back to sign in; so does
            // a form, which then changes nothing.
            const bool had = !id.empty();
            return call->redirect(
                had ? "/signin?m=session_gone" : "/signin",
                had ? Fields{{"Set-Cookie", session_cookie(call->request.https, "", true)}}
                    : Fields{});
        }
        serve(call, route, params);
    } catch (const StoreError& e) {
        std::fprintf(stderr, "tovix-server: web page %s: %s\n",
                     log_field(call->request.path).c_str(), e.what());
        call->page(500, "failed_title", "message", {{"error", call->word("failed")}});
    }
}

// A signed-in call: its form's CSRF token, and the route's access.
void WebPages::serve(const CallPtr& call, const Route* route, const Params& params) {
    if (call->request.method == "POST" &&
        !same_secret(call->form["csrf"], csrf_token(call->session_id)))
        return call->page(403, "forbidden_title", "message", {{"error", call->word("forbidden")}});
    if (!route || (route->access == Access::Operator && !call->account->admin))
        return call->not_found();
    (this->*route->handler)(call, params);
}

void WebPages::style(const CallPtr& call, const Params&) {
    call->respond(
        call->answer(200, *web_file("style.css"), {{"Content-Type", "text/css; charset=utf-8"}}));
}

void WebPages::language(const CallPtr& call, const Params&) {
    const HttpRequest& request = call->request;
    const std::string to = request.param("to").value_or("") == "zh" ? "zh" : "en";
    call->redirect(own_path(request.param("back").value_or("/")),
                   {{"Set-Cookie", "tovix_lang=" + to + "; Path=/; HttpOnly; SameSite=Lax" +
                                       (request.https ? "; Secure" : "")}});
}

void WebPages::not_found(const CallPtr& call, const Params&) {
    call->not_found();
}

} // namespace tovix::server
