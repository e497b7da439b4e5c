// The web page of tovix-server: host owners see and manage their hosts,
// operators the accounts. Server-rendered HTML forms from Mustache
// templates (server/web/, built into the binary), in English and
// Simplified Chinese; sessions and everything else through the store, the
// authenticator and the committer, as the updates go.
#pragma once

#include "auth/authenticator.h"
#include "base/workers.h"
#include "http/server.h"
#include "store/store.h"
#include "update/committer.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tovix::server {

// The files of server/web/, by name (web_files.cpp, generated).
const std::string* web_file(const std::string& name);

struct WebContext {
    Store& store;
    Authenticator& auth;
    Committer& committer;
    Workers& workers;
    std::vector<std::string> zones;
    // Whether a password may come over plain HTTP: the server listens on
    // loopback alone, or --web-allow-http.
    std::function<bool()> plain_sign_in;
    std::string database; // printable
    int throttled_delay_ms = 1000;
};

class WebPages {
  public:
    // The answer, and whether it went to a signed-in session.
    using Respond = std::function<void(HttpResponse, bool signed_in)>;

    explicit WebPages(WebContext context);
    ~WebPages();
    // Answers one request for the page (any path but the update routes).
    void handle(const HttpRequest& request, const std::string& caller, Respond respond);
    // The page for a request of the page's that the HTTP layer refuses by
    // its head (413: a form too large; 414: an address too long), in the
    // reader's language, signed out; nothing for any other status. Reads
    // nothing but the head: safe on the HTTP layer's threads.
    std::optional<HttpResponse> refusal_page(const HttpRequest& head, int status) const;

    struct Call;  // one request on its way (web/call.h)
    struct Route; // one row of the page's route table

  private:
    using CallPtr = std::shared_ptr<Call>;
    using Params = std::vector<std::string>; // the route's {...} parts
    void dispatch(const CallPtr& call, const Route* route, const Params& params);
    void serve(const CallPtr& call, const Route* route, const Params& params);

    // Answered at once: no session.
    void style(const CallPtr& call, const Params&);
    void language(const CallPtr& call, const Params&);
    // Signing in and out, the password (sign_in.cpp).
    void start(const CallPtr& call, const Params&);
    void sign_in_page(const CallPtr& call, const Params&);
    void sign_in(const CallPtr& call, const Params&);
    void sign_out(const CallPtr& call, const Params&);
    void password_page(const CallPtr& call, const Params&);
    void change_password(const CallPtr& call, const Params&);
    // An owner's hosts (hosts.cpp).
    void my_hosts(const CallPtr& call, const Params&);
    void host_page(const CallPtr& call, const Params& params);
    // A host's page; with an error, its settings form shows what was sent.
    void show_host(const CallPtr& call, const std::string& host,
                   const std::string& fresh_token = {}, Fields headers = {},
                   const std::string& error = {});
    void add_token(const CallPtr& call, const Params& params);
    void revoke_token(const CallPtr& call, const Params& params);
    // What a Revoke or Remove button leads to: a page that names what
    // will go, with a button that confirms (GET; the change is its POST).
    void confirm_revoke(const CallPtr& call, const Params& params);
    void confirm_remove(const CallPtr& call, const Params&);
    void set_offline(const CallPtr& call, const Params& params);
    void set_settings(const CallPtr& call, const Params& params);
    void change_host(const CallPtr& call, const std::string& host, bool settings);
    // Routers and followers (follow.cpp).
    void follow(const CallPtr& call, const Params& params);
    void unfollow(const CallPtr& call, const Params& params);
    void not_found(const CallPtr& call, const Params&);
    // The operator's pages (operator.cpp).
    void server_page(const CallPtr& call, const Params&);
    void accounts_list(const CallPtr& call, const Params&);
    void add_account(const CallPtr& call, const Params&);
    void set_hosts(const CallPtr& call, const Params&);
    void remove_account(const CallPtr& call, const Params&);
    void with_form_hosts(const CallPtr& call,
                         const std::function<void(const std::vector<std::string>&)>& change);
    // The accounts, with a new password to show once, or an error; the
    // add form keeps what was typed when `keep_form`.
    void accounts_page(const CallPtr& call, const std::string& new_password = {},
                       const std::string& error = {}, bool keep_form = false);

    WebContext c_;
    std::vector<Route> routes_;
};

} // namespace tovix::server
