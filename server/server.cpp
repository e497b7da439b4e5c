// The composition root: each room built in order, the store's changed names
// wired to the purger, and the route table every request is looked up in.
#include "server.h"

#include "acme/handler.h"
#include "auth/passwords.h"
#include "base/address.h"
#include "base/metrics.h"
#include "dns/purge.h"
#include "http/routes.h"
#include "store/changes.h"
#include "update/handler.h"
#include "web/pages.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <stdexcept>
#include <utility>

namespace tovix::server {

namespace {

const char* const kRealm = "Basic realm=\"tovix-server\"";

// What the classic check-IP pages answer, which ddclient (use=web) and
// inadyn (checkip-server) read the address from.
std::string checkip_page(const std::string& address) {
    return "<html><head><title>Current IP Check</title></head><body>Current IP Address: " +
           address + "</body></html>";
}

std::function<void(const std::string&)> stderr_lines(bool on) {
    return [on](const std::string& line) {
        if (on)
            std::fprintf(stderr, "%s\n", line.c_str());
    };
}

// On a PostgreSQL database, what any other server commits: the names it
// changed are purged from this server's PowerDNS too (when it has one), and
// an account change makes the Authenticator read the change log at once.
std::unique_ptr<ChangeListener> listen_for_changes(const Config& config, const Store& store,
                                                   const std::vector<std::string>& zones,
                                                   DnsPurger& purger, Authenticator& auth) {
    if (!is_postgres_uri(config.db_path))
        return nullptr;
    std::vector<std::string> every_name;
    for (const std::string& zone : zones)
        every_name.push_back(zone + "$");
    ChangeListener::Names names;
    if (!config.pdns_control.empty())
        names = [&purger](const std::vector<std::string>& changed) { purger.purge(changed); };
    return std::make_unique<ChangeListener>(
        config.db_path, store.origin(), names ? every_name : std::vector<std::string>{}, names,
        [&auth] { auth.changed(); }, stderr_lines(config.log_to_stderr));
}

// How long answers wait for PowerDNS's purge.
PurgePolicy purge_policy(const Config& config) {
    PurgePolicy policy;
    policy.wait = config.purge_wait;
    return policy;
}

// The one list of changed names: whatever the store commits (an update, a
// challenge, an account's hosts, from the page or the command line of this
// process) is purged from PowerDNS's caches.
bool purge_changes(Store& store, DnsPurger& purger) {
    store.on_changed_names(
        [&purger](const std::vector<std::string>& names) { purger.purge(names); });
    return true;
}

// What the HTTP layer refused by itself, as a log entry.
RequestEntry refusal_entry(const Rejection& r) {
    RequestEntry e;
    e.time = std::time(nullptr);
    e.remote_addr = r.peer;
    e.remote_port = r.peer_port;
    e.method = "-";
    e.target = r.target;
    e.status = r.status;
    e.answer = r.status ? "refused by the HTTP layer" : "dropped by the HTTP layer";
    return e;
}

} // namespace

// One row of the route table.
struct UpdateServer::Route {
    Methods methods; // empty: every method (the page answers its own 405)
    std::string pattern;
    Metrics::Route label; // the metrics' route
    // What the log says of the answer: a page may show a new token or
    // password and carries the session's CSRF value, an ACME answer echoes
    // its challenge, so only the route's name; nullptr: the answer itself
    // (an update's result words).
    const char* logged;
    // The header that names the user for the log; nullptr: the name in the
    // Basic credentials.
    const char* user_header;
    std::function<void(const HttpRequest&, const Caller&, const std::optional<Credentials>&,
                       const Respond&)>
        handler;
};

struct UpdateServer::Rooms {
    Rooms(UpdateServer& server, RequestLog::Sink sink);

    const Config& config;
    const std::vector<std::string> zones;
    RequestLog log;
    DnsPurger purger; // before store, which tells it the changed names
    Store store;
    const bool wired; // the store's names go to the purger before anything is written
    // Before workers: their queued checks still run while workers stops.
    Authenticator auth;
    ActivityLog activity;
    // With PostgreSQL: the other servers' changes.
    std::unique_ptr<ChangeListener> listener;
    Committer committer;
    UpdateHandler update;
    AcmeHandler acme;
    // Before workers, as auth is: a page's queued job still runs while
    // workers stops. Unless Config::web is off.
    std::unique_ptr<WebPages> web;
    Workers workers;
    HttpServer http; // last: stopped first
};

UpdateServer::Rooms::Rooms(UpdateServer& server, RequestLog::Sink sink)
    : config(server.config_),
      zones(config.zones.empty() ? std::vector<std::string>{kDefaultZone} : config.zones),
      log({config.log_to_stderr, config.log_path, std::move(sink)}),
      purger(config.pdns_control, stderr_lines(config.log_to_stderr), purge_policy(config)),
      store(config.db_path, Store::Mode::Create,
            StoreOptions{zones, config.ttl, config.pdns_schema, config.history}),
      wired(purge_changes(store, purger)),
      auth(store, workers, config.guard, config.accounts_refresh),
      activity(
          store, config.activity_interval,
          [this] {
              store.expire_challenges(std::time(nullptr));
              store.prune_account_changes(std::time(nullptr));
          },
          stderr_lines(config.log_to_stderr),
          [this](const std::string& host) { return auth.known_owner(host); }),
      listener(listen_for_changes(config, store, zones, purger, auth)), committer(store, &purger),
      update({auth, committer, activity, workers, zones, config.reveal_owned_names,
              config.public_addresses_only, config.throttled_delay_ms,
              [&server] { return server.loopback_only_.load(); }}),
      acme({auth, store, purger, activity, workers, zones, config.throttled_delay_ms,
            config.log_to_stderr}),
      web(config.web
              ? std::make_unique<WebPages>(WebContext{
                    store, auth, committer, workers, zones,
                    [&server] { return server.loopback_only_ || server.config_.web_allow_http; },
                    printable_location(config.db_path), config.throttled_delay_ms})
              : nullptr),
      workers(2, 256),
      http([&server](const HttpRequest& request,
                     HttpServer::Reply reply) { server.handle(request, std::move(reply)); },
           config.limits, [this](const Rejection& r) { log.write(refusal_entry(r)); }) {}

UpdateServer::UpdateServer(Config config, RequestLog::Sink sink)
    : config_(std::move(config)), loopback_only_(config_.loopback_only) {
    build_routes();
    rooms_ = std::make_unique<Rooms>(*this, std::move(sink));
    if (rooms_->web) {
        // A page's request refused by its head (a form too large) gets a
        // page in the reader's language too.
        rooms_->http.set_refusal_page(
            [this](const HttpRequest& head, int status) -> std::optional<HttpResponse> {
                const Route* route = find_route(routes_, head.method, head.path).first;
                if (!route || route->label != Metrics::kPageRoute)
                    return std::nullopt;
                return rooms_->web->refusal_page(head, status);
            });
    }
    seed_accounts();
    if (config_.log_to_stderr)
        warn_outside_zones(rooms_.get(), std::make_shared<OutsideScan>());
}

UpdateServer::~UpdateServer() {
    stop();
}

// The routes, in the order they are looked up. The page takes every path
// the others leave; without it, those are answered 404.
void UpdateServer::build_routes() {
    auto update = [this](const HttpRequest& request, const Caller& caller,
                         const std::optional<Credentials>& credentials, const Respond& respond) {
        rooms_->update.handle(request, caller, credentials, respond);
    };
    auto checkip = [](const HttpRequest& request, const Caller& caller,
                      const std::optional<Credentials>&, const Respond& respond) {
        // The caller's address as the classic check-IP pages give it, or
        // bare with format=text. Nothing is read or stored.
        const bool text = request.param("format").value_or("") == "text";
        respond(
            {200,
             text ? caller.address : checkip_page(caller.address),
             0,
             {{"Content-Type", text ? "text/plain" : "text/html"}, {"Cache-Control", "no-store"}}});
    };
    auto acme = [this](const HttpRequest& request, const Caller& caller,
                       const std::optional<Credentials>&,
                       const Respond& respond) { rooms_->acme.handle(request, caller, respond); };
    routes_ = {
        {{"GET"}, "/nic/update", Metrics::kUpdateRoute, nullptr, nullptr, update},
        {{"GET"}, "/dyndns/update", Metrics::kUpdateRoute, nullptr, nullptr, update},
        {{"GET", "HEAD"}, "/checkip", Metrics::kCheckipRoute, "checkip", nullptr, checkip},
        {{"POST"}, "/update", Metrics::kAcmeRoute, "acme", "X-Api-User", acme},
    };
    if (!config_.web)
        return;
    routes_.push_back(
        {{},
         "/{path...}",
         Metrics::kPageRoute,
         "page",
         nullptr,
         [this](const HttpRequest& request, const Caller& caller, const std::optional<Credentials>&,
                const Respond& respond) {
             // Behind a TLS proxy the page is HTTPS too (its sign-in
             // form, its cookies, the lines it gives to copy).
             HttpRequest seen = request;
             seen.https = caller.https;
             rooms_->web->handle(seen, caller.address, [respond](HttpResponse r, bool signed_in) {
                 Answer answer{r.status, std::move(r.body), 0, std::move(r.headers)};
                 answer.authenticated = signed_in;
                 respond(std::move(answer));
             });
         }});
}

// The accounts a new database starts with: those of the configuration, or
// the built-in one where nobody else can reach it (a server on loopback
// alone, serving the zone of its host).
void UpdateServer::seed_accounts() {
    Store& store = rooms_->store;
    if (!store.accounts_created())
        return;
    const std::vector<std::string>& zones = rooms_->zones;
    std::vector<SeedAccount> seed = config_.accounts;
    if (seed.empty() && config_.default_account) {
        const bool safe = config_.loopback_only &&
                          std::count(zones.begin(), zones.end(), std::string(kDefaultZone)) > 0;
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
            if (!store.add_account({a.user, hash_password(a.password), hosts}))
                throw std::invalid_argument("account " + a.user + " given twice");
        } catch (const StoreError& e) {
            throw std::invalid_argument(e.what());
        }
    }
    rooms_->auth.refresh();
}

// Names the owned hosts that lie outside every served zone (the first
// kOutsideNamed, then how many more), looking at kOutsideChunk hosts at a
// time: the first chunk before the server listens, the others each in a
// job of the workers, so that no update waits long for the store.
void UpdateServer::warn_outside_zones(Rooms* rooms, std::shared_ptr<OutsideScan> scan) {
    std::string next;
    try {
        for (const auto& [host, account] :
             rooms->store.hosts_outside(rooms->zones, scan->after, kOutsideChunk, &next)) {
            if (scan->named++ < kOutsideNamed)
                std::fprintf(stderr,
                             "tovix-server: %s (account %s) lies outside every served zone"
                             " (--zone): its updates are answered nohost\n",
                             host.c_str(), account.c_str());
        }
    } catch (const StoreError& e) {
        std::fprintf(stderr, "tovix-server: looking for hosts outside the zones: %s\n", e.what());
        return;
    }
    if (next.empty()) {
        if (scan->named > kOutsideNamed)
            std::fprintf(stderr, "tovix-server: and %zu more hosts lie outside every served zone\n",
                         scan->named - kOutsideNamed);
        return;
    }
    scan->after = next;
    rooms->workers.run([rooms, scan] { warn_outside_zones(rooms, scan); });
}

bool UpdateServer::listen(const Endpoint& endpoint, std::string* error) {
    if (!is_loopback(endpoint.host))
        loopback_only_ = false;
    return rooms_->http.listen(endpoint, error);
}

int UpdateServer::port(std::size_t n) const {
    return rooms_->http.port(n);
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
    Rooms& r = *rooms_;
    r.http.drain();
    const auto deadline = std::chrono::steady_clock::now() + kStopBound;
    bool idle = false;
    while (!idle && std::chrono::steady_clock::now() < deadline)
        idle =
            r.workers.drain(deadline) && r.committer.drain(deadline) && r.workers.drain(deadline);
    if (!idle && config_.log_to_stderr)
        std::fprintf(stderr, "tovix-server: stopping with requests still unanswered after %d s\n",
                     static_cast<int>(kStopBound.count()));
    r.http.stop();
}

// The envelope of every request: who calls, with what credentials, which
// route; then the route's handler answers, and the answer goes out with
// its log line and its count in the metrics.
void UpdateServer::handle(const HttpRequest& request, HttpServer::Reply reply) {
    std::optional<Credentials> credentials;
    if (std::optional<std::string> authorization = request.header("Authorization")) {
        credentials = parse_basic_auth(*authorization);
        wipe(*authorization);
    }
    // The path chooses the route; a method it does not take is answered 405.
    const Route* route = find_route(routes_, request.method, request.path).first;
    Caller caller{config_.proxies.caller(request),
                  route && route->user_header ? request.header(route->user_header).value_or("")
                  : credentials               ? credentials->user
                                              : "",
                  request.header("User-Agent").value_or(""),
                  request.https || config_.proxies.forwarded_https(request)};
    auto entry = std::make_shared<RequestEntry>();
    entry->remote_addr = caller.address;
    entry->remote_port = request.peer_port;
    entry->method = request.method;
    entry->target = request.target;
    entry->user_agent = caller.user_agent;
    entry->user = caller.user;
    const Metrics::Route label = route ? route->label : Metrics::kOtherRoute;
    const char* logged = route ? route->logged : "not found";
    Respond respond = [this, entry, label, logged, received = request.received,
                       reply = std::move(reply)](Answer answer) {
        metrics().answered(label, received, answer.status, answer.body);
        HttpResponse response{answer.status, answer.body, std::move(answer.headers)};
        if (answer.status == 401)
            response.headers.emplace_back("WWW-Authenticate", kRealm);
        if (answer.retry_after > 0)
            response.headers.emplace_back("Retry-After", std::to_string(answer.retry_after));
        entry->time = std::time(nullptr);
        entry->status = answer.status;
        entry->answer = logged ? logged : std::move(answer.body);
        entry->authenticated = answer.authenticated;
        rooms_->log.write(*entry);
        reply(std::move(response));
    };
    if (!route)
        return respond({404, "not found"});
    if (!takes_method(route->methods, request.method))
        return respond({405, "method not allowed", 0, {{"Allow", allow_header(route->methods)}}});
    route->handler(request, caller, credentials, respond);
}

} // namespace tovix::server
