// The update server: the envelope of each request (caller, credentials,
// route), the answer once authenticated (which hosts, which settings), and
// the group commit that makes each answer durable before it is sent.
#include "update_server.h"

#include "acme.h"
#include "auth/passwords.h"
#include "auth/tokens.h"
#include "base/address.h"
#include "base/metrics.h"
#include "dns/names.h"

#include <arpa/inet.h>

#include <algorithm>
#include <ctime>
#include <stdexcept>
#include <utility>

namespace tovix::server {

namespace {

const char* const kRealm = "Basic realm=\"tovix-server\"";

bool is_update_path(const std::string& path) {
    return path == "/dyndns/update" || path == "/nic/update";
}

// What the log says of an answer that is not an update's: the route alone.
// A page may show a new token or password and carries the session's CSRF
// value; an ACME answer echoes its challenge.
const char* route_name(const std::string& path, bool web) {
    if (path == "/checkip")
        return "checkip";
    if (path == "/update")
        return "acme";
    return web ? "page" : "not found";
}

// What the classic check-IP pages answer, which ddclient (use=web) and
// inadyn (checkip-server) read the address from.
std::string checkip_page(const std::string& address) {
    return "<html><head><title>Current IP Check</title></head><body>Current IP Address: " +
           address + "</body></html>";
}

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

// Each change any other server on a PostgreSQL database commits is purged
// from this server's PowerDNS too.
std::unique_ptr<ChangeListener> listen_for_changes(const Config& config, const Store& store,
                                                   const std::vector<std::string>& zones,
                                                   DnsPurger& purger) {
    if (config.pdns_control.empty() || !is_postgres_uri(config.db_path))
        return nullptr;
    std::vector<std::string> every_name;
    for (const std::string& zone : zones)
        every_name.push_back(zone + "$");
    const bool log = config.log_to_stderr;
    return std::make_unique<ChangeListener>(
        config.db_path, store.origin(), every_name,
        [&purger](const std::vector<std::string>& names) { purger.purge(names); },
        [log](const std::string& line) {
            if (log)
                std::fprintf(stderr, "%s\n", line.c_str());
        });
}

} // namespace

UpdateServer::UpdateServer(Config config)
    : config_(std::move(config)),
      zones_(config_.zones.empty() ? std::vector<std::string>{kDefaultZone} : config_.zones),
      loopback_only_(config_.loopback_only),
      log_({config_.log_to_stderr, config_.log_path, config_.keep_requests}),
      store_(config_.db_path, Store::Mode::Create,
             StoreOptions{zones_, config_.ttl, config_.pdns_schema, config_.history}),
      seeded_(seed_accounts()), auth_(store_, workers_, config_.guard, config_.accounts_refresh),
      purger_(config_.pdns_control,
              [this](const std::string& line) {
                  if (config_.log_to_stderr)
                      std::fprintf(stderr, "%s\n", line.c_str());
              }),
      activity_(
          store_, config_.activity_interval,
          [this] {
              std::vector<std::string> names;
              for (const std::string& host : store_.expire_challenges(std::time(nullptr)))
                  names.push_back(host + "$");
              purger_.purge(names);
          },
          [this](const std::string& line) {
              if (config_.log_to_stderr)
                  std::fprintf(stderr, "%s\n", line.c_str());
          }),
      listener_(listen_for_changes(config_, store_, zones_, purger_)), committer_(store_, &purger_),
      web_(config_.web ? std::make_unique<WebPages>(WebContext{
                             store_, auth_, committer_, workers_, purger_, zones_,
                             [this] { return loopback_only_ || config_.web_allow_http; },
                             printable_location(config_.db_path), config_.throttled_delay_ms})
                       : nullptr),
      workers_(2, 256),
      http_([this](const HttpRequest& request,
                   HttpServer::Reply reply) { handle(request, std::move(reply)); },
            config_.limits,
            [this](const Rejection& r) {
                RequestEntry e;
                e.time = std::time(nullptr);
                e.remote_addr = r.peer;
                e.remote_port = r.peer_port;
                e.method = "-";
                e.target = r.target;
                e.status = r.status;
                e.answer = r.status ? "refused by the HTTP layer" : "dropped by the HTTP layer";
                log_.write(std::move(e));
            }) {
    for (const auto& [host, account] : auth_.accounts()->owners) {
        if (!zone_for(host, zones_) && config_.log_to_stderr)
            std::fprintf(stderr,
                         "tovix-server: %s (account %s) lies outside every served zone (--zone):"
                         " its updates are answered nohost\n",
                         host.c_str(), account.c_str());
    }
}

UpdateServer::~UpdateServer() {
    stop();
}

// The accounts a new database starts with: those of the configuration, or
// the built-in one where nobody else can reach it (a server on loopback
// alone, serving the zone of its host).
bool UpdateServer::seed_accounts() {
    if (!store_.accounts_created())
        return false;
    std::vector<SeedAccount> seed = config_.accounts;
    if (seed.empty() && config_.default_account) {
        const bool safe = config_.loopback_only &&
                          std::count(zones_.begin(), zones_.end(), std::string(kDefaultZone)) > 0;
        if (safe)
            seed.push_back(default_account());
        else if (config_.log_to_stderr)
            std::fprintf(stderr,
                         "tovix-server: no built-in account (the server listens beyond loopback"
                         " or serves other zones); add one with 'tovix-server account add USER"
                         " HOST... --db %s'\n",
                         printable_location(config_.db_path).c_str());
    }
    for (const SeedAccount& a : seed) {
        std::vector<std::string> hosts = a.hosts;
        std::sort(hosts.begin(), hosts.end());
        try {
            if (!store_.add_account({a.user, hash_password(a.password), hosts}))
                throw std::invalid_argument("account " + a.user + " given twice");
        } catch (const StoreError& e) {
            throw std::invalid_argument(e.what());
        }
    }
    return true;
}

bool UpdateServer::listen(const Endpoint& endpoint, std::string* error) {
    if (!is_loopback(endpoint.host))
        loopback_only_ = false;
    return http_.listen(endpoint, error);
}

// In the order the work flows: no new request; the password checks and
// the answers held back run; the updates they queued are written and
// answered; then the connections close. A check may queue an update, but
// an update queues nothing for the workers, so one more round at most.
// What is left after the bound is answered "stopping" and never written.
void UpdateServer::stop() {
    std::lock_guard<std::mutex> once(stop_mutex_);
    if (stopped_)
        return;
    stopped_ = true;
    http_.drain();
    const auto deadline = std::chrono::steady_clock::now() + kStopBound;
    bool idle = false;
    while (!idle && std::chrono::steady_clock::now() < deadline)
        idle = workers_.drain(deadline) && committer_.drain(deadline) && workers_.drain(deadline);
    if (!idle && config_.log_to_stderr)
        std::fprintf(stderr, "tovix-server: stopping with requests still unanswered after %d s\n",
                     static_cast<int>(kStopBound.count()));
    http_.stop();
}

// The envelope of every request: who calls, with what credentials, which
// route; the answer and its log line come from responder().
void UpdateServer::handle(const HttpRequest& request, HttpServer::Reply reply) {
    const std::string caller = config_.proxies.caller(request);
    std::optional<Credentials> credentials;
    if (std::optional<std::string> authorization = request.header("Authorization")) {
        credentials = parse_basic_auth(*authorization);
        wipe(*authorization);
    }
    const bool acme = request.path == "/update";
    Respond respond = responder(request, caller,
                                acme          ? request.header("X-Api-User").value_or("")
                                : credentials ? credentials->user
                                              : "",
                                std::move(reply));
    if (request.path == "/checkip")
        return checkip(request, caller, respond);
    if (acme)
        return acme_update(request, caller, respond);
    if (!is_update_path(request.path)) {
        if (!web_)
            return respond({404, "not found"});
        return web_->handle(request, caller, [respond](HttpResponse r, bool signed_in) {
            Answer answer{r.status, std::move(r.body), 0, std::move(r.headers)};
            answer.authenticated = signed_in;
            respond(std::move(answer));
        });
    }
    if (request.method != "GET")
        return respond({405, "method not allowed", 0, {{"Allow", "GET"}}});
    // Not a fault: clients send their credentials once challenged.
    if (!credentials)
        return respond({401, "badauth"});
    // What the answer needs of the request; the credentials stay here.
    HttpRequest bare;
    bare.query = request.query;
    bare.https = request.https;
    bare.headers = {{"User-Agent", request.header("User-Agent").value_or("")},
                    {"X-Tovix-User", credentials->user}};
    auth_.check(caller, *credentials,
                [this, bare = std::move(bare), caller, respond](const Verdict& verdict) {
                    answer(verdict, bare, caller, respond);
                });
}

// The caller's address as the classic check-IP pages give it, or bare with
// format=text. Nothing is read or stored.
void UpdateServer::checkip(const HttpRequest& request, const std::string& caller,
                           const Respond& respond) {
    if (request.method != "GET" && request.method != "HEAD")
        return respond({405, "method not allowed", 0, {{"Allow", "GET, HEAD"}}});
    const bool text = request.param("format").value_or("") == "text";
    respond({200,
             text ? caller : checkip_page(caller),
             0,
             {{"Content-Type", text ? "text/plain" : "text/html"}, {"Cache-Control", "no-store"}}});
}

// acme-dns's update call: the user is a host, the key one of its tokens.
void UpdateServer::acme_update(const HttpRequest& request, const std::string& caller,
                               const Respond& respond) {
    if (request.method != "POST")
        return respond({405, "method not allowed", 0, {{"Allow", "POST"}}});
    const std::optional<std::string> user = request.header("X-Api-User");
    std::optional<std::string> key = request.header("X-Api-Key");
    if (!user || !key)
        return respond({401, "X-Api-User and X-Api-Key are required"});
    std::string why;
    const std::optional<AcmeUpdate> asked = parse_acme_update(request.body, &why);
    if (!asked)
        return respond({400, why});
    if (!is_acme_value(asked->txt))
        return respond({400, "txt must be 43 characters of base64url"});
    const std::string host = normalize_host(*user);
    if (!names_host(asked->subdomain, host))
        return respond({400, "subdomain must name the host of X-Api-User"});
    // Only a token of the host: an account's password stays off this path.
    if (!is_token_form(*key)) {
        wipe(*key);
        return respond({401, "X-Api-Key is not a token of this host"});
    }
    Credentials credentials{*user, *key};
    wipe(*key);
    auth_.check(caller, credentials,
                [this, host, txt = asked->txt, respond](const Verdict& verdict) {
                    switch (verdict.outcome) {
                    case Verdict::Outcome::Good:
                        if (verdict.token)
                            return set_challenge(host, txt, authenticated(respond));
                        return respond({401, "X-Api-Key is not a token of this host"});
                    case Verdict::Outcome::Bad:
                        count_fault(owned({host}), ActivityLog::Fault::Badauth);
                        return respond({401, "X-Api-Key is not a token of this host"});
                    case Verdict::Outcome::Busy:
                        return respond({503, "busy, try again", verdict.retry_after});
                    case Verdict::Outcome::Throttled:
                        count_fault(owned({host}), ActivityLog::Fault::Throttled);
                        return workers_.later(config_.throttled_delay_ms, [respond, verdict] {
                            respond({503, "too many failed attempts, try again later",
                                     verdict.retry_after});
                        });
                    }
                });
}

// The TXT record written (and synced) on a worker thread, then purged from
// PowerDNS's caches.
void UpdateServer::set_challenge(const std::string& host, const std::string& txt,
                                 const Respond& respond) {
    const std::optional<std::string> zone = zone_for(host, zones_);
    if (!zone)
        return respond({400, "the host lies outside every served zone"});
    const bool queued = workers_.run([this, host, txt, respond] {
        ChallengeResult result;
        try {
            result = store_.set_challenge(host, txt, std::time(nullptr));
        } catch (const StoreError& e) {
            if (config_.log_to_stderr)
                std::fprintf(stderr, "tovix-server: challenge of %s: %s\n", log_field(host).c_str(),
                             e.what());
            return respond({500, "the database failed"});
        }
        if (result != ChallengeResult::Set)
            return respond({401, "X-Api-Key is not a token of this host"});
        purger_.purge({host + "$"});
        respond({200,
                 "{\"txt\": " + json_string(txt) + "}",
                 0,
                 {{"Content-Type", "application/json"}}});
    });
    if (!queued)
        respond({503, "busy, try again", 1});
}

std::vector<std::string> UpdateServer::named_hosts(const HttpRequest& request,
                                                   const std::string& user) const {
    std::vector<std::string> names = split_list(request.param("hostname").value_or(""));
    if (names.empty() && !user.empty())
        names.push_back(user);
    std::vector<std::string> hosts;
    for (const std::string& name : names)
        hosts.push_back(normalize_host(name));
    hosts = owned(std::move(hosts));
    if (hosts.size() > kMaxHostsPerRequest)
        hosts.resize(kMaxHostsPerRequest);
    return hosts;
}

// Only hosts an account owns are counted: a name anybody may make up would
// grow the activity without bound.
std::vector<std::string> UpdateServer::owned(std::vector<std::string> hosts) const {
    const AccountsPtr accounts = auth_.accounts();
    hosts.erase(std::remove_if(hosts.begin(), hosts.end(),
                               [&](const std::string& h) { return !accounts->owners.count(h); }),
                hosts.end());
    return hosts;
}

void UpdateServer::count_fault(const std::vector<std::string>& hosts, ActivityLog::Fault kind) {
    const std::int64_t now = std::time(nullptr);
    for (const std::string& host : hosts)
        activity_.fault(host, kind, now);
}

// Writes the answer and its log line; callable from any thread, once.
UpdateServer::Respond UpdateServer::responder(const HttpRequest& request, const std::string& caller,
                                              const std::string& user, HttpServer::Reply reply) {
    auto entry = std::make_shared<RequestEntry>();
    entry->remote_addr = caller;
    entry->remote_port = request.peer_port;
    entry->method = request.method;
    entry->target = request.target;
    entry->user_agent = request.header("User-Agent").value_or("");
    entry->user = user;
    const bool updating = is_update_path(request.path);
    const char* route = route_name(request.path, web_ != nullptr);
    return [this, entry, updating, route, received = request.received,
            reply = std::move(reply)](Answer answer) {
        metrics().answered(updating, received, answer.status, answer.body);
        HttpResponse response{answer.status, answer.body, std::move(answer.headers)};
        if (answer.status == 401)
            response.headers.emplace_back("WWW-Authenticate", kRealm);
        if (answer.retry_after > 0)
            response.headers.emplace_back("Retry-After", std::to_string(answer.retry_after));
        entry->time = std::time(nullptr);
        entry->status = answer.status;
        entry->answer = updating ? std::move(answer.body) : route;
        entry->authenticated = answer.authenticated;
        log_.write(*entry);
        reply(std::move(response));
    };
}

UpdateServer::Respond UpdateServer::authenticated(Respond respond) {
    return [respond = std::move(respond)](Answer answer) {
        answer.authenticated = true;
        respond(std::move(answer));
    };
}

// A request that was not checked (throttled, or the checks backed up) is
// told to come back, never that its password is wrong; a throttled one
// waits for that answer, which keeps a guesser's connections busy.
void UpdateServer::answer(const Verdict& verdict, const HttpRequest& request,
                          const std::string& caller, const Respond& respond) {
    const std::string user = request.header("X-Tovix-User").value_or("");
    switch (verdict.outcome) {
    case Verdict::Outcome::Good:
        return update(request, caller, verdict, authenticated(respond));
    case Verdict::Outcome::Bad:
        count_fault(named_hosts(request, user), ActivityLog::Fault::Badauth);
        return respond({401, "badauth"});
    case Verdict::Outcome::Busy:
        return respond({503, "911", verdict.retry_after});
    case Verdict::Outcome::Throttled:
        count_fault(named_hosts(request, user), ActivityLog::Fault::Throttled);
        return workers_.later(config_.throttled_delay_ms, [respond, verdict] {
            respond({503, "911", verdict.retry_after});
        });
    }
}

void UpdateServer::update(const HttpRequest& request, const std::string& caller,
                          const Verdict& verdict, const Respond& respond) {
    const std::string user = request.header("X-Tovix-User").value_or("");
    const std::string agent = request.header("User-Agent").value_or("");
    std::string refused;
    if (trim(agent).empty())
        refused = "badagent";
    if (std::optional<std::string> system = request.param("system")) {
        if (*system != "dyndns" && *system != "statdns" && *system != "custom")
            refused = "badsys";
    }
    if (!refused.empty()) {
        count_fault(named_hosts(request, verdict.token ? user : ""), ActivityLog::Fault::Malformed);
        return respond({200, refused});
    }
    auto plan = std::make_shared<Plan>(plan_update(request, caller, *verdict.accounts, verdict));
    const std::int64_t token = verdict.token ? verdict.token->id : 0;
    if (plan->updates.empty()) {
        count_fault(named_hosts(request, verdict.token ? user : ""), ActivityLog::Fault::Malformed);
        return respond({200, plan->body()});
    }
    std::vector<Update> updates = plan->updates;
    // The accounts the request was authenticated against stay alive until
    // the answer is written.
    const bool queued = committer_.submit(
        std::move(updates), [this, plan, respond, accounts = verdict.accounts, caller, agent,
                             token](std::optional<std::vector<Applied>> applied) {
            if (!applied)
                return respond({200, "911"});
            const std::int64_t now = std::time(nullptr);
            for (std::size_t j = 0; j < plan->slots.size(); ++j) {
                if ((*applied)[j].owned)
                    activity_.seen(plan->updates[j].host, now, caller, agent, token);
            }
            for (std::size_t j = 0; j < plan->slots.size(); ++j) {
                const Applied& a = (*applied)[j];
                const Addresses held{a.ipv4.empty() ? std::nullopt : std::optional(a.ipv4),
                                     a.ipv6.empty() ? std::nullopt : std::optional(a.ipv6)};
                const std::string named = plan->stored.empty() ? held.text() : plan->stored;
                std::string& line = plan->lines[plan->slots[j]];
                line = !a.owned ? "nohost"
                                : (a.changed ? "good" : "nochg") +
                                      (named.empty() ? std::string() : " " + named);
            }
            respond({200, plan->body()});
        });
    if (!queued)
        respond({503, "911", 1});
}

std::string UpdateServer::Plan::body() const {
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i)
        text += (i > 0 ? "\n" : "") + lines[i];
    return text;
}

// The settings a request gives every host it names; nothing when there is
// no address to store, or the mail exchanger is no host name: then each
// host that would be updated is refused, and nothing is stored.
std::optional<Update> UpdateServer::requested(const HttpRequest& req,
                                              const std::string& caller) const {
    auto param = [&req](const char* key) { return req.param(key); };
    Update u;
    u.offline = parse_switch(param("offline"), "YES", "NO").value_or(false);
    // Going offline without myip keeps the stored addresses.
    if (!u.offline || param("myip")) {
        const AddressPolicy policy{loopback_only_ && !config_.public_addresses_only,
                                   !config_.public_addresses_only};
        const std::optional<Addresses> addresses = update_addresses(param("myip"), caller, policy);
        if (!addresses)
            return std::nullopt;
        u.ipv4 = addresses->ipv4;
        u.ipv6 = addresses->ipv6;
    }
    bool bad_mx = false;
    u.mx = parse_mx(param("mx"), &bad_mx);
    if (bad_mx)
        return std::nullopt;
    u.wildcard = parse_switch(param("wildcard"), "ON", "OFF");
    u.backmx = parse_switch(param("backmx"), "YES", "NO");
    return u;
}

// What a request asks of each host: a refusal word already, or an update.
UpdateServer::Plan UpdateServer::plan_update(const HttpRequest& req, const std::string& caller,
                                             const AccountsSnapshot& accounts,
                                             const Verdict& verdict) const {
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
    const std::optional<Update> asked = requested(req, caller);
    if (asked)
        plan.stored = Addresses{asked->ipv4, asked->ipv6}.text();
    plan.lines.resize(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        std::string host = normalize_host(names[i]);
        if (!is_fqdn(host)) {
            plan.lines[i] = "notfqdn";
            continue;
        }
        const std::optional<std::string> zone = zone_for(host, zones_);
        auto owner = accounts.owners.find(host);
        if (verdict.token && host != verdict.token->host) {
            plan.lines[i] = "nohost";
            continue;
        }
        if (!zone || owner == accounts.owners.end() || owner->second != account.name) {
            // Whose a name is, is nobody else's business.
            const bool reveal =
                config_.reveal_owned_names && zone && owner != accounts.owners.end();
            plan.lines[i] = reveal ? "!yours" : "nohost";
            continue;
        }
        if (!asked) {
            plan.lines[i] = "dnserr";
            continue;
        }
        Update u = *asked;
        u.host = std::move(host);
        u.account = account.name;
        u.zone = *zone;
        u.origin = {caller, req.header("User-Agent").value_or(""), req.https,
                    verdict.token ? "token " + std::to_string(verdict.token->id)
                                  : "account " + account.name};
        plan.updates.push_back(std::move(u));
        plan.slots.push_back(i);
    }
    return plan;
}

} // namespace tovix::server
