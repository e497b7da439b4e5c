// The update route: the envelope (method, credentials) is the server's; here
// the verdict is answered, the request planned host by host, and the plan
// committed and answered line by line.
#include "update/handler.h"

#include "base/strings.h"
#include "dns/names.h"
#include "dns/zone.h"
#include "update/dyndns.h"

#include <algorithm>
#include <ctime>
#include <memory>

namespace tovix::server {

std::optional<std::string> UpdateHandler::Request::param(std::string_view name) const {
    for (const auto& [key, value] : query) {
        if (iequals(key, name))
            return value;
    }
    return std::nullopt;
}

void UpdateHandler::handle(const HttpRequest& request, const Caller& caller,
                           const std::optional<Credentials>& credentials, const Respond& respond) {
    // Not a fault: clients send their credentials once challenged.
    if (!credentials)
        return respond({401, "badauth"});
    // What the answer needs of the request; the credentials stay here.
    Request bare{request.query, caller};
    c_.auth.check(caller.address, *credentials,
                  [this, bare = std::move(bare), respond](const Verdict& verdict) {
                      answer(verdict, bare, respond);
                  });
}

// A request that was not checked (throttled, or the checks backed up) is
// told to come back, never that its password is wrong; a throttled one
// waits for that answer, which keeps a guesser's connections busy.
void UpdateHandler::answer(const Verdict& verdict, const Request& request, const Respond& respond) {
    const std::string& user = request.caller.user;
    switch (verdict.outcome) {
    case Verdict::Outcome::Good:
        return update(request, verdict, authenticated(respond));
    case Verdict::Outcome::Bad:
        c_.activity.faults(named_hosts(request, user), ActivityLog::Fault::Badauth);
        return respond({401, "badauth"});
    case Verdict::Outcome::Busy:
        return respond({503, "911", verdict.retry_after});
    case Verdict::Outcome::Throttled:
        c_.activity.faults(named_hosts(request, user), ActivityLog::Fault::Throttled);
        return c_.workers.later(c_.throttled_delay_ms, [respond, verdict] {
            respond({503, "911", verdict.retry_after});
        });
    }
}

void UpdateHandler::update(const Request& request, const Verdict& verdict, const Respond& respond) {
    std::string refused;
    if (trim(request.caller.user_agent).empty())
        refused = "badagent";
    if (std::optional<std::string> system = request.param("system")) {
        if (*system != "dyndns" && *system != "statdns" && *system != "custom")
            refused = "badsys";
    }
    const std::string token_host = verdict.token ? request.caller.user : "";
    if (!refused.empty()) {
        c_.activity.faults(named_hosts(request, token_host), ActivityLog::Fault::Malformed);
        return respond({200, refused});
    }
    auto plan = std::make_shared<Plan>(plan_update(request, verdict));
    const bool probes_only = std::all_of(plan->updates.begin(), plan->updates.end(),
                                         [](const Update& u) { return u.probe; });
    if (probes_only)
        c_.activity.faults(named_hosts(request, token_host), ActivityLog::Fault::Malformed);
    if (plan->updates.empty())
        return respond({200, plan->body()});
    commit(std::move(plan), request, verdict, respond);
}

// The answer's line of each update: good or nochg with the addresses; for
// a host no longer the account's, or one only asked about (a probe), whose
// it is: nohost, or !yours for another account's with reveal_owned_names.
void UpdateHandler::commit(std::shared_ptr<Plan> plan, const Request& request,
                           const Verdict& verdict, const Respond& respond) {
    const std::int64_t token = verdict.token ? verdict.token->id : 0;
    std::vector<Update> updates = plan->updates;
    const bool queued = c_.committer.submit(
        std::move(updates), [this, plan, respond, caller = request.caller,
                             token](std::optional<std::vector<Applied>> applied) {
            if (!applied)
                return respond({200, "911"});
            const std::int64_t now = std::time(nullptr);
            std::vector<std::string> refused;
            for (std::size_t j = 0; j < plan->slots.size(); ++j) {
                if ((*applied)[j].refused)
                    refused.push_back(plan->updates[j].host);
                else if ((*applied)[j].owned && !plan->updates[j].probe)
                    c_.activity.seen(plan->updates[j].host, now, caller.address, caller.user_agent,
                                     token);
            }
            c_.activity.faults(refused, ActivityLog::Fault::Malformed);
            for (std::size_t j = 0; j < plan->slots.size(); ++j) {
                const Applied& a = (*applied)[j];
                if (a.refused) {
                    plan->lines[plan->slots[j]] = "dnserr"; // a follower's suffix overlaps
                    continue;
                }
                const Addresses held{a.ipv4.empty() ? std::nullopt : std::optional(a.ipv4),
                                     a.ipv6.empty() ? std::nullopt : std::optional(a.ipv6)};
                const std::string named = plan->stored.empty() ? held.text() : plan->stored;
                std::string& line = plan->lines[plan->slots[j]];
                if (!a.owned || plan->updates[j].probe)
                    line = a.elsewhere && c_.reveal_owned_names ? "!yours" : "nohost";
                else
                    line = (a.changed ? "good" : "nochg") +
                           (named.empty() ? std::string() : " " + named);
            }
            respond({200, plan->body()});
        });
    if (!queued)
        respond({503, "911", 1});
}

std::string UpdateHandler::Plan::body() const {
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i)
        text += (i > 0 ? "\n" : "") + lines[i];
    return text;
}

std::vector<std::string> UpdateHandler::named_hosts(const Request& request,
                                                    const std::string& user) const {
    std::vector<std::string> names = split_list(request.param("hostname").value_or(""));
    if (names.empty() && !user.empty())
        names.push_back(user);
    std::vector<std::string> hosts;
    for (const std::string& name : names) {
        if (std::string host = normalize_host(name); is_fqdn(host))
            hosts.push_back(std::move(host));
    }
    if (hosts.size() > kMaxHostsPerRequest)
        hosts.resize(kMaxHostsPerRequest);
    return hosts;
}

// The settings a request gives every host it names; nothing when there is
// no address to store, the mail exchanger is no host name or the LAN
// prefix no proper one: then each host that would be updated is refused,
// and nothing is stored.
std::optional<Update> UpdateHandler::requested(const Request& req) const {
    auto param = [&req](const char* key) { return req.param(key); };
    Update u;
    u.offline = parse_switch(param("offline"), "YES", "NO").value_or(false);
    const AddressPolicy policy{c_.loopback_only() && !c_.public_addresses_only,
                               !c_.public_addresses_only};
    // Going offline without myip keeps the stored addresses.
    if (!u.offline || param("myip")) {
        const std::optional<Addresses> addresses =
            update_addresses(param("myip"), req.caller.address, policy);
        if (!addresses)
            return std::nullopt;
        u.ipv4 = addresses->ipv4;
        u.ipv6 = addresses->ipv6;
    }
    bool bad_mx = false;
    u.mx = parse_mx(param("mx"), &bad_mx);
    if (bad_mx)
        return std::nullopt;
    // A router's LAN prefix, in either spelling (two that differ: neither).
    std::optional<std::string> prefix = param("ipv6prefix");
    const std::optional<std::string> lan = param("ip6lanprefix");
    if (!prefix || prefix->empty())
        prefix = lan;
    else if (lan && !lan->empty() && *lan != *prefix)
        return std::nullopt;
    bool bad_prefix = false;
    u.prefix = parse_lan_prefix(prefix, policy, &bad_prefix);
    if (bad_prefix)
        return std::nullopt;
    u.wildcard = parse_switch(param("wildcard"), "ON", "OFF");
    u.backmx = parse_switch(param("backmx"), "YES", "NO");
    return u;
}

// Whether the account (or the token) may update `host`: empty, with its
// zone in *zone, or the word that refuses it. A served host the account
// does not hold is nobody else's business (nohost); with
// reveal_owned_names the committer's transaction is asked whose it is
// (*probe), which answers !yours for another account's.
std::string UpdateHandler::judge_host(const std::string& host, const Verdict& verdict,
                                      std::string* zone, bool* probe) const {
    if (!is_fqdn(host))
        return "notfqdn";
    if (verdict.token && host != verdict.token->host)
        return "nohost";
    const std::optional<std::string> served = zone_for(host, c_.zones);
    const std::vector<std::string>& held = verdict.account->hosts; // sorted
    const bool mine = std::binary_search(held.begin(), held.end(), host);
    if (!served || (!mine && !c_.reveal_owned_names))
        return "nohost";
    *zone = *served;
    *probe = !mine;
    return {};
}

// What a request asks of each host: a refusal word already, or an update
// (or a probe of whose a host is).
UpdateHandler::Plan UpdateHandler::plan_update(const Request& req, const Verdict& verdict) const {
    Plan plan;
    const AccountRecord& account = *verdict.account;
    std::vector<std::string> names = split_list(req.param("hostname").value_or(""));
    // A token updates its host and nothing else; without hostname, that host.
    if (verdict.token && names.empty())
        names.push_back(verdict.token->host);
    if (names.empty() || names.size() > kMaxHostsPerRequest) {
        plan.lines = {names.empty() ? "notfqdn" : "numhost"};
        return plan;
    }
    const std::optional<Update> asked = requested(req);
    if (asked)
        plan.stored = Addresses{asked->ipv4, asked->ipv6}.text();
    plan.lines.resize(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        std::string host = normalize_host(names[i]);
        std::string zone;
        bool probe = false;
        plan.lines[i] = judge_host(host, verdict, &zone, &probe);
        if (!plan.lines[i].empty())
            continue;
        if (!asked && !probe) {
            plan.lines[i] = "dnserr";
            continue;
        }
        Update u = probe ? Update{} : *asked;
        u.probe = probe;
        u.host = std::move(host);
        u.account = account.name;
        u.zone = std::move(zone);
        u.origin = {req.caller.address, req.caller.user_agent, req.caller.https,
                    verdict.token ? "token " + std::to_string(verdict.token->id)
                                  : "account " + account.name};
        plan.updates.push_back(std::move(u));
        plan.slots.push_back(i);
    }
    return plan;
}

} // namespace tovix::server
