// The update server: the envelope of each request (caller, credentials,
// route), the answer once authenticated (which hosts, which settings), and
// the group commit that makes each answer durable before it is sent.
#include "update_server.h"

#include "metrics.h"

#include <arpa/inet.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace tovix::server {

namespace {

const char* const kRealm = "Basic realm=\"tovix-server\"";

bool is_update_path(const std::string& path) {
    return path == "/dyndns/update" || path == "/nic/update";
}

bool is_loopback(const std::string& address) {
    unsigned char bytes[16];
    if (inet_pton(AF_INET, address.c_str(), bytes) == 1)
        return bytes[0] == 127;
    in6_addr v6{};
    return inet_pton(AF_INET6, address.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

} // namespace

Account default_account() {
    return Account{"tovix", "KoReL52", {"home.tovix.example"}};
}

UpdateServer::UpdateServer(Config config)
    : config_(std::move(config)),
      zones_(config_.zones.empty() ? std::vector<std::string>{kDefaultZone} : config_.zones),
      loopback_only_(config_.loopback_only),
      log_({config_.log_to_stderr, config_.log_path, config_.keep_requests}),
      store_(config_.db_path, Store::Mode::Create,
             StoreOptions{zones_, config_.ttl, config_.pdns_schema}),
      seeded_(seed_accounts()), auth_(store_, workers_, config_.guard, config_.accounts_refresh),
      purger_(config_.pdns_control,
              [this](const std::string& line) {
                  if (config_.log_to_stderr)
                      std::fprintf(stderr, "%s\n", line.c_str());
              }),
      committer_(store_, &purger_), workers_(2, 256),
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
    std::vector<Account> seed = config_.accounts;
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
    for (const Account& a : seed) {
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

void UpdateServer::stop() {
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
    Respond respond =
        responder(request, caller, credentials ? credentials->user : "", std::move(reply));
    if (!is_update_path(request.path))
        return respond({404, "not found"});
    if (request.method != "GET")
        return respond({405, "method not allowed"});
    if (!credentials)
        return respond({401, "badauth"});
    // What the answer needs of the request; the credentials stay here.
    HttpRequest bare;
    bare.query = request.query;
    bare.headers = {{"User-Agent", request.header("User-Agent").value_or("")}};
    auth_.check(caller, *credentials,
                [this, bare = std::move(bare), caller, respond](const Verdict& verdict) {
                    answer(verdict, bare, caller, respond);
                });
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
    return [this, entry, updating, received = request.received,
            reply = std::move(reply)](Answer answer) {
        metrics().answered(updating, received, answer.status, answer.body);
        HttpResponse response{answer.status, answer.body, {}};
        if (answer.status == 401)
            response.headers.emplace_back("WWW-Authenticate", kRealm);
        if (answer.status == 405)
            response.headers.emplace_back("Allow", "GET");
        if (answer.retry_after > 0)
            response.headers.emplace_back("Retry-After", std::to_string(answer.retry_after));
        entry->time = std::time(nullptr);
        entry->status = answer.status;
        entry->answer = std::move(answer.body);
        log_.write(*entry);
        reply(std::move(response));
    };
}

// A request that was not checked (throttled, or the checks backed up) is
// told to come back, never that its password is wrong; a throttled one
// waits for that answer, which keeps a guesser's connections busy.
void UpdateServer::answer(const Verdict& verdict, const HttpRequest& request,
                          const std::string& caller, const Respond& respond) {
    switch (verdict.outcome) {
    case Verdict::Outcome::Good:
        return update(request, caller, verdict, respond);
    case Verdict::Outcome::Bad:
        return respond({401, "badauth"});
    case Verdict::Outcome::Busy:
        return respond({503, "911", verdict.retry_after});
    case Verdict::Outcome::Throttled:
        return workers_.later(config_.throttled_delay_ms, [respond, verdict] {
            respond({503, "911", verdict.retry_after});
        });
    }
}

void UpdateServer::update(const HttpRequest& request, const std::string& caller,
                          const Verdict& verdict, const Respond& respond) {
    if (trim(request.header("User-Agent").value_or("")).empty())
        return respond({200, "badagent"});
    if (std::optional<std::string> system = request.param("system")) {
        if (*system != "dyndns" && *system != "statdns" && *system != "custom")
            return respond({200, "badsys"});
    }
    auto plan =
        std::make_shared<Plan>(plan_update(request, caller, *verdict.accounts, *verdict.account));
    if (plan->updates.empty())
        return respond({200, plan->body()});
    std::vector<Update> updates = plan->updates;
    // The accounts the request was authenticated against stay alive until
    // the answer is written.
    const bool queued = committer_.submit(
        std::move(updates),
        [plan, respond, accounts = verdict.accounts](std::optional<std::vector<Applied>> applied) {
            if (!applied)
                return respond({200, "911"});
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
                                             const Accounts& accounts,
                                             const AccountRecord& account) const {
    Plan plan;
    const std::vector<std::string> names = split_list(req.param("hostname").value_or(""));
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
        plan.updates.push_back(std::move(u));
        plan.slots.push_back(i);
    }
    return plan;
}

} // namespace tovix::server
