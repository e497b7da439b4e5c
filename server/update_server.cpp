#include "update_server.h"

#include "dyndns.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace tovix::server {

namespace {

const char* const kRealm = "Basic realm=\"tovix-server\"";
// How often the accounts are looked for changes made by another process
// (`tovix-server account ...`).
constexpr auto kAccountsRecheck = std::chrono::milliseconds(200);

bool is_update_path(const std::string& path) {
    return path == "/dyndns/update" || path == "/nic/update";
}

} // namespace

Account default_account() {
    return Account{"tovix", "KoReL52", {"home.tovix.example"}};
}

std::string format_log_line(const RequestEntry& e) {
    const bool v6 = e.remote_addr.find(':') != std::string::npos;
    const std::string remote =
        (v6 ? "[" + e.remote_addr + "]" : e.remote_addr) + ":" + std::to_string(e.remote_port);
    std::string line = format_utc(e.time);
    for (const std::string* field : {&remote, &e.method, &e.target, &e.user_agent, &e.user}) {
        line += '\t';
        line += escape_field(*field);
    }
    line += '\t';
    line += std::to_string(e.status);
    line += '\t';
    line += escape_field(e.answer);
    return line;
}

// ---- Workers ------------------------------------------------------------------

Workers::Workers(unsigned threads, std::size_t max_queued) : max_queued_(max_queued) {
    for (unsigned i = 0; i < threads + 1; ++i) {
        const bool timer = i == threads;
        threads_.emplace_back([this, timer] {
            std::unique_lock<std::mutex> lock(mutex_);
            for (;;) {
                std::function<void()> job;
                if (timer) {
                    if (!timed_.empty() &&
                        timed_.begin()->first <= std::chrono::steady_clock::now()) {
                        job = std::move(timed_.begin()->second);
                        timed_.erase(timed_.begin());
                    } else if (stopping_) {
                        return;
                    } else if (timed_.empty()) {
                        changed_.wait(lock);
                        continue;
                    } else {
                        changed_.wait_until(lock, timed_.begin()->first);
                        continue;
                    }
                } else {
                    changed_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
                    if (jobs_.empty())
                        return;
                    job = std::move(jobs_.front());
                    jobs_.pop_front();
                }
                lock.unlock();
                job();
                lock.lock();
            }
        });
    }
}

Workers::~Workers() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        // Answers still to be sent go now rather than never.
        for (auto& [due, job] : timed_)
            jobs_.push_back(std::move(job));
        timed_.clear();
    }
    changed_.notify_all();
    for (std::thread& t : threads_)
        t.join();
}

bool Workers::run(std::function<void()> job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || jobs_.size() >= max_queued_)
            return false;
        jobs_.push_back(std::move(job));
    }
    changed_.notify_all();
    return true;
}

void Workers::later(int ms, std::function<void()> job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        timed_.emplace(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms),
                       std::move(job));
    }
    changed_.notify_all();
}

// ---- UpdateServer -----------------------------------------------------------------

UpdateServer::UpdateServer(Config config)
    : config_(std::move(config)),
      zones_(config_.zones.empty() ? std::vector<std::string>{kDefaultZone} : config_.zones),
      store_(config_.db_path, Store::Mode::Create, StoreOptions{zones_, config_.ttl}),
      guard_(config_.guard), unknown_user_hash_(hash_password("no such account")),
      committer_(store_), workers_(2, 256),
      http_([this](const HttpRequest& request,
                   HttpServer::Reply reply) { handle(request, std::move(reply)); },
            config_.limits,
            [this](const Rejection& r) {
                RequestEntry e;
                e.time = std::time(nullptr);
                e.remote_addr = r.peer;
                e.remote_port = r.peer_port;
                e.method = "-";
                e.target = redact_target(r.target);
                e.status = r.status;
                e.answer = r.status ? "refused by the HTTP layer" : "dropped by the HTTP layer";
                record(std::move(e));
            }) {
    if (store_.accounts_created()) {
        std::vector<Account> seed = config_.accounts;
        if (seed.empty() && config_.default_account)
            seed.push_back(default_account());
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
    }
    if (!config_.log_path.empty()) {
        log_file_.reset(std::fopen(config_.log_path.c_str(), "a"));
        if (!log_file_)
            throw std::runtime_error(config_.log_path + ": " + std::strerror(errno));
    }
    for (const auto& [host, account] : current_accounts()->owners) {
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

bool UpdateServer::listen(const Endpoint& endpoint, std::string* error) {
    return http_.listen(endpoint, error);
}

void UpdateServer::stop() {
    http_.stop();
}

// The accounts as last read, read again when another process has committed
// to the database since. Asking the database waits while a transaction is
// being written: one thread asks, the others go on with what was last read.
std::shared_ptr<const UpdateServer::Accounts> UpdateServer::current_accounts() {
    std::unique_lock<std::mutex> lock(accounts_mutex_);
    const auto now = std::chrono::steady_clock::now();
    if (accounts_ && (accounts_checking_ || now - accounts_checked_ < kAccountsRecheck))
        return accounts_;
    accounts_checked_ = now;
    accounts_checking_ = true;
    const std::int64_t known = accounts_ ? accounts_version_ : -1;
    lock.unlock();
    std::shared_ptr<Accounts> fresh;
    std::int64_t version = known;
    try {
        version = store_.data_version();
        if (version != known) {
            fresh = std::make_shared<Accounts>();
            for (AccountRecord& a : store_.accounts()) {
                for (const std::string& host : a.hosts)
                    fresh->owners[host] = a.name;
                fresh->by_name[a.name] = std::move(a);
            }
        }
    } catch (...) {
        lock.lock();
        accounts_checking_ = false;
        throw;
    }
    lock.lock();
    accounts_checking_ = false;
    if (fresh) {
        accounts_ = std::move(fresh);
        accounts_version_ = version;
    }
    return accounts_;
}

void UpdateServer::handle(const HttpRequest& request, HttpServer::Reply reply) {
    const std::string caller = config_.proxies.caller(request);
    std::optional<Credentials> credentials;
    if (std::optional<std::string> authorization = request.header("Authorization"))
        credentials = parse_basic_auth(*authorization);
    const std::string user = credentials ? credentials->user : std::string();

    // Writes the answer and its log line; callable from any thread, once.
    auto entry = std::make_shared<RequestEntry>();
    entry->remote_addr = caller;
    entry->remote_port = request.peer_port;
    entry->method = request.method;
    entry->target = redact_target(request.target);
    entry->user_agent = request.header("User-Agent").value_or("");
    entry->user = user;
    Respond respond = [this, entry, reply](Answer answer) {
        HttpResponse response{answer.status, answer.body, {}};
        if (answer.status == 401)
            response.headers.emplace_back("WWW-Authenticate", kRealm);
        if (answer.status == 405)
            response.headers.emplace_back("Allow", "GET");
        entry->time = std::time(nullptr);
        entry->status = answer.status;
        entry->answer = std::move(answer.body);
        record(*entry);
        reply(std::move(response));
    };

    if (!is_update_path(request.path))
        return respond({404, "not found"});
    if (request.method != "GET")
        return respond({405, "method not allowed"});
    if (!credentials)
        return respond({401, "badauth"});
    // Past the guard's limit the password is not even looked at, and the
    // answer takes its time.
    auto throttle = [this, respond] {
        workers_.later(config_.throttled_delay_ms, [respond] { respond({401, "badauth"}); });
    };
    const auto now = LoginGuard::Clock::now();
    if (!guard_.allowed(caller, user, now))
        return throttle();
    std::shared_ptr<const Accounts> accounts = current_accounts();
    auto found = accounts->by_name.find(user);
    const AccountRecord* account = found == accounts->by_name.end() ? nullptr : &found->second;
    const std::string& hash = account ? account->password_hash : unknown_user_hash_;
    if (account && verified_.known(user, credentials->password, hash))
        return authenticated(request, caller, *account, respond);

    // One Argon2id check for the same credentials at a time: a client that
    // opens many connections at once waits for the first check instead of
    // spending its source's allowance (and the CPU) on each.
    Waiter waiter = [this, request, caller, account, respond](Check outcome) {
        if (outcome == Check::Good)
            authenticated(request, caller, *account, respond);
        else if (outcome == Check::Bad)
            respond({401, "badauth"});
        else
            respond({503, "911"}); // the checks are backed up: try again later
    };
    const std::string key = verified_.digest(user, credentials->password, hash);
    {
        std::lock_guard<std::mutex> lock(checks_mutex_);
        auto running = checks_.find(key);
        if (running != checks_.end()) {
            running->second.push_back(std::move(waiter));
            return;
        }
    }
    if (!guard_.try_check(caller, user, now))
        return throttle();
    {
        std::lock_guard<std::mutex> lock(checks_mutex_);
        checks_[key].push_back(std::move(waiter));
    }
    auto finish = [this, key](Check outcome) {
        std::vector<Waiter> waiters;
        {
            std::lock_guard<std::mutex> lock(checks_mutex_);
            waiters = std::move(checks_[key]);
            checks_.erase(key);
        }
        for (Waiter& w : waiters)
            w(outcome);
    };
    // Argon2id on a worker thread, never on the HTTP threads.
    const std::string password = credentials->password;
    const bool queued = workers_.run([this, caller, account, hash, user, password, finish] {
        const bool good = verify_password(hash, password) && account;
        if (good) {
            guard_.succeeded(caller, user, LoginGuard::Clock::now());
            verified_.remember(user, password, hash);
        }
        finish(good ? Check::Good : Check::Bad);
    });
    if (!queued)
        finish(Check::Busy);
}

void UpdateServer::authenticated(const HttpRequest& request, const std::string& caller,
                                 const AccountRecord& account, const Respond& respond) {
    if (trim(request.header("User-Agent").value_or("")).empty())
        return respond({200, "badagent"});
    if (std::optional<std::string> system = request.param("system")) {
        if (*system != "dyndns" && *system != "statdns" && *system != "custom")
            return respond({200, "badsys"});
    }
    auto plan = std::make_shared<Plan>(plan_update(request, caller, account));
    if (plan->updates.empty())
        return respond({200, plan->body()});
    std::vector<Update> updates = plan->updates;
    const bool queued = committer_.submit(
        std::move(updates), [plan, respond](std::optional<std::vector<bool>> changed) {
            if (!changed)
                return respond({200, "911"});
            for (std::size_t j = 0; j < plan->slots.size(); ++j)
                plan->lines[plan->slots[j]] = ((*changed)[j] ? "good " : "nochg ") + plan->stored;
            respond({200, plan->body()});
        });
    if (!queued)
        respond({503, "911"});
}

std::string UpdateServer::Plan::body() const {
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i)
        text += (i > 0 ? "\n" : "") + lines[i];
    return text;
}

// What a request asks of each host: a refusal word already, or an update.
UpdateServer::Plan UpdateServer::plan_update(const HttpRequest& req, const std::string& caller,
                                             const AccountRecord& account) {
    Plan plan;
    const std::vector<std::string> names = split_list(req.param("hostname").value_or(""));
    if (names.empty() || names.size() > kMaxHostsPerRequest) {
        plan.lines = {names.empty() ? "notfqdn" : "numhost"};
        return plan;
    }
    auto param = [&req](const char* key) { return req.param(key); };
    const Addresses addresses = update_addresses(param("myip"), caller);
    plan.stored = addresses.text();
    const std::optional<bool> wildcard = parse_switch(param("wildcard"), "ON", "OFF");
    const std::optional<std::string> mx = parse_mx(param("mx"));
    const std::optional<bool> backmx = parse_switch(param("backmx"), "YES", "NO");
    const bool offline = parse_switch(param("offline"), "YES", "NO").value_or(false);

    std::shared_ptr<const Accounts> accounts = current_accounts();
    plan.lines.resize(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        std::string host = normalize_host(names[i]);
        if (!is_fqdn(host)) {
            plan.lines[i] = "notfqdn";
            continue;
        }
        const std::optional<std::string> zone = zone_for(host, zones_);
        auto owner = accounts->owners.find(host);
        if (!zone || owner == accounts->owners.end()) {
            plan.lines[i] = "nohost";
            continue;
        }
        if (owner->second != account.name) {
            plan.lines[i] = "!yours";
            continue;
        }
        Update u;
        u.host = std::move(host);
        u.account = account.name;
        u.zone = *zone;
        u.ipv4 = addresses.ipv4;
        u.ipv6 = addresses.ipv6;
        u.wildcard = wildcard;
        u.mx = mx;
        u.backmx = backmx;
        u.offline = offline;
        plan.updates.push_back(std::move(u));
        plan.slots.push_back(i);
    }
    return plan;
}

void UpdateServer::record(RequestEntry entry) {
    const std::string line = format_log_line(entry) + "\n";
    std::lock_guard<std::mutex> lock(log_mutex_);
    history_.push_back(std::move(entry));
    while (history_.size() > kHistorySize)
        history_.pop_front();
    if (config_.log_to_stderr)
        std::fputs(line.c_str(), stderr);
    if (log_file_) {
        std::fputs(line.c_str(), log_file_.get());
        std::fflush(log_file_.get());
    }
}

std::vector<RequestEntry> UpdateServer::requests() const {
    std::lock_guard<std::mutex> lock(log_mutex_);
    return {history_.begin(), history_.end()};
}

} // namespace tovix::server
