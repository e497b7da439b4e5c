// The update route of the DynDNS convention (GET /nic/update, GET
// /dyndns/update): the credentials checked, the plan of an update (which
// hosts, which settings), the group commit, and the answer's lines.
#pragma once

#include "auth/authenticator.h"
#include "http/answer.h"
#include "update/activity.h"
#include "update/committer.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tovix::server {

class UpdateHandler {
  public:
    struct Context {
        Authenticator& auth;
        Committer& committer;
        ActivityLog& activity;
        Workers& workers;
        std::vector<std::string> zones;
        bool reveal_owned_names = false;    // !yours for another account's host
        bool public_addresses_only = false; // no private ranges, no loopback
        int throttled_delay_ms = 1000;      // what a guess past the guard's limit costs
        // Whether the server listens on loopback alone (then loopback
        // addresses may be published); it may change while serving.
        std::function<bool()> loopback_only;
    };
    explicit UpdateHandler(Context context) : c_(std::move(context)) {}

    // Answers one update request; `credentials` are what its Authorization
    // header gave, if anything.
    void handle(const HttpRequest& request, const Caller& caller,
                const std::optional<Credentials>& credentials, const Respond& respond);

  private:
    // What the answer needs of the request once its credentials are checked.
    struct Request {
        Fields query;
        Caller caller;
        std::optional<std::string> param(std::string_view name) const;
    };
    struct Plan {
        std::vector<std::string> lines; // one per host named, in order
        std::vector<Update> updates;
        std::vector<std::size_t> slots; // the line each update answers
        std::string stored;             // the addresses the answers name; empty: as held
        std::string body() const;
    };
    void answer(const Verdict& verdict, const Request& request, const Respond& respond);
    void update(const Request& request, const Verdict& verdict, const Respond& respond);
    void commit(std::shared_ptr<Plan> plan, const Request& request, const Verdict& verdict,
                const Respond& respond);
    // The hosts a request names that an account owns: counted against them
    // when it is refused.
    std::vector<std::string> named_hosts(const Request& request, const std::string& user) const;
    std::optional<Update> requested(const Request& request) const;
    Plan plan_update(const Request& request, const Verdict& verdict) const;
    std::string judge_host(std::string host, const Verdict& verdict, std::string* zone) const;

    Context c_;
};

} // namespace tovix::server
