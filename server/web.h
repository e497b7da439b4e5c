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
    // Answers one request for the page (any path but the update routes).
    void handle(const HttpRequest& request, const std::string& caller, Respond respond);

    struct Call; // one request on its way

  private:
    void route(const std::shared_ptr<Call>& call);
    void sign_in(const std::shared_ptr<Call>& call);
    void change_password(const std::shared_ptr<Call>& call);
    void my_hosts(const std::shared_ptr<Call>& call);
    void host_page(const std::shared_ptr<Call>& call, const std::string& host,
                   const std::string& fresh_token = {});
    void host_post(const std::shared_ptr<Call>& call, const std::string& host,
                   const std::string& action);
    void change_host(const std::shared_ptr<Call>& call, const std::string& host, bool settings);
    void operator_page(const std::shared_ptr<Call>& call, const std::string& page);
    void accounts_page(const std::shared_ptr<Call>& call, const std::string& new_password = {},
                       const std::string& error = {});

    WebContext c_;
};

} // namespace tovix::server
