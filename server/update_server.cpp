// The update server: the envelope of each request (caller, credentials,
// route), the answer once authenticated (which hosts, which settings), and
// the group commit that makes each answer durable before it is sent.
#include "update_server.h"

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
      purger_(config_.pdns_control,
              [this](const std::string& line) {
                  if (config_.log_to_stderr)
                      std::fprintf(stderr, "%s\n", line.c_str());
              }),
      store_(config_.db_path, Store::Mode::Create,
             StoreOptions{zones_, config_.ttl, config_.pdns_schema, config_.history}),
      seeded_(prepare_store()), auth_(store_, workers_, config_.guard, config_.accounts_refresh),
      activity_(
          store_, config_.activity_interval,
          [this] { store_.expire_challenges(std::time(nullptr)); },
          [this](const std::string& line) {
              if (config_.log_to_stderr)
                  std::fprintf(stderr, "%s\n", line.c_str());
          }),
      listener_(listen_for_changes(config_, store_, zones_, purger_)), committer_(store_),
      update_({auth_, committer_, activity_, workers_, zones_, config_.reveal_owned_names,
               config_.public_addresses_only, config_.throttled_delay_ms,
               [this] { return loopback_only_.load(); }}),
      acme_({auth_, store_, activity_, workers_, zones_, config_.throttled_delay_ms,
             config_.log_to_stderr}),
      web_(config_.web ? std::make_unique<WebPages>(WebContext{
                             store_, auth_, committer_, workers_, zones_,
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

// The one list of changed names: whatever the store commits (an update, a
// challenge, an account's hosts, from the page or anywhere) is purged from
// PowerDNS's caches. Then the accounts a new database starts with: those
// of the configuration, or the built-in one where nobody else can reach it
// (a server on loopback alone, serving the zone of its host).
bool UpdateServer::prepare_store() {
    store_.on_changed_names(
        [this](const std::vector<std::string>& names) { purger_.purge(names); });
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
        return acme_.handle(request, {caller, "", "", request.https}, respond);
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
    update_.handle(request,
                   {caller, credentials ? credentials->user : "",
                    request.header("User-Agent").value_or(""), request.https},
                   credentials, respond);
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

// Writes the answer and its log line; callable from any thread, once.
Respond UpdateServer::responder(const HttpRequest& request, const std::string& caller,
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

} // namespace tovix::server
