#include "update_server.h"

#include "dyndns.h"

#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace tovix::server {

namespace {

const char* const kRealm = "Basic realm=\"tovix-server\"";

bool is_update_path(const std::string& path) {
    return path == "/dyndns/update" || path == "/nic/update";
}

bool carries_body(const std::string& method) {
    return method == "POST" || method == "PUT" || method == "PATCH" || method == "DELETE";
}

std::string trimmed(const std::string& s) {
    const std::size_t first = s.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// Compares without stopping at the first difference.
bool same_secret(const std::string& a, const std::string& b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    const std::string& probe = a.size() == b.size() ? b : a;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ probe[i]);
    return diff == 0;
}

std::string caller_address(const std::string& remote) {
    if (auto ip = canonical_ip(remote))
        return *ip;
    // Link-local peers come with a zone ("fe80::1%eth0").
    if (auto ip = canonical_ip(remote.substr(0, remote.find('%'))))
        return *ip;
    return remote;
}

std::string header(const httplib::Request& req, const char* key) {
    return req.has_header(key) ? req.get_header_value(key) : std::string();
}

// What the request log keeps of one request and its answer (never the
// password: the target is redacted and no header but the agent is kept).
RequestEntry entry_for(const httplib::Request& req, int status, std::string answer,
                       std::string user) {
    RequestEntry e;
    e.time = std::time(nullptr);
    e.remote_addr = req.remote_addr;
    e.remote_port = req.remote_port;
    e.method = req.method;
    e.target = redact_target(req.target);
    e.user_agent = header(req, "User-Agent");
    e.user = std::move(user);
    e.status = status;
    e.answer = std::move(answer);
    return e;
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

UpdateServer::UpdateServer(Config config)
    : accounts_(config.accounts.empty() ? std::vector<Account>{default_account()}
                                        : std::move(config.accounts)),
      zones_(config.zones.empty() ? std::vector<std::string>{kDefaultZone}
                                  : std::move(config.zones)),
      store_(config.db_path, Store::Mode::Create, StoreOptions{zones_, config.ttl}),
      log_to_stderr_(config.log_to_stderr) {
    for (std::size_t i = 0; i < accounts_.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (accounts_[j].user == accounts_[i].user)
                throw std::invalid_argument("account " + accounts_[i].user + " given twice");
        }
        for (const std::string& host : accounts_[i].hosts) {
            if (!zone_for(host, zones_) && log_to_stderr_)
                std::fprintf(stderr,
                             "tovix-server: %s lies outside every served zone (--zone): its "
                             "updates are answered nohost\n",
                             host.c_str());
            auto [it, inserted] = owners_.emplace(host, i);
            if (!inserted && it->second != i)
                throw std::invalid_argument("host " + host + " is claimed by both " +
                                            accounts_[it->second].user + " and " +
                                            accounts_[i].user);
        }
    }
    if (!config.log_path.empty()) {
        log_file_.reset(std::fopen(config.log_path.c_str(), "a"));
        if (!log_file_)
            throw std::runtime_error(config.log_path + ": " + std::strerror(errno));
    }

    // Plain SO_REUSEADDR: a restart may reuse a port in TIME_WAIT, but a second
    // server on a busy port must fail rather than share it.
    http_.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // WinInet sends its credentials only after the 401 challenge, on the same
    // connection, so connections must survive a few requests.
    http_.set_keep_alive_max_count(100);
    // Kept-alive connections each hold a worker while they live: the
    // library's default pool (one thread per core, at least eight) would make
    // the ninth client wait for the first to go idle.
    http_.new_task_queue = [] { return new httplib::ThreadPool(64); };
    // Headers and body go out in separate writes; without this the body waits
    // for the client's delayed ACK on a kept-alive connection.
    http_.set_tcp_nodelay(true);
    http_.set_keep_alive_timeout(5);
    http_.set_read_timeout(10);
    http_.set_write_timeout(10);
    // Updates carry everything in the query; a body is only read (and thrown
    // away) so that the connection stays in step. The request line and each
    // header line are capped at 8 KiB by the library.
    http_.set_payload_max_length(8192);

    auto handler = [this](const httplib::Request& req, httplib::Response& res) {
        handle(req, res);
    };
    // Body-less methods are answered before routing; the others after their
    // (bounded) body has been read.
    http_.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        if (carries_body(req.method))
            return httplib::Server::HandlerResponse::Unhandled;
        handle(req, res);
        return httplib::Server::HandlerResponse::Handled;
    });
    http_.Post(".*", handler);
    http_.Put(".*", handler);
    http_.Patch(".*", handler);
    http_.Delete(".*", handler);
    // Requests the library rejects itself (malformed, too long, too large)
    // never reach handle(); log those here.
    http_.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
        if (res.status == 200 || res.status == 401 || res.status == 404 || res.status == 405)
            return;
        record(entry_for(req, res.status, res.body, {}));
    });
}

UpdateServer::~UpdateServer() {
    stop();
}

bool UpdateServer::bind(const std::string& host, int port, std::string* error) {
    errno = 0;
    int bound = -1;
    if (port == 0)
        bound = http_.bind_to_any_port(host);
    else if (http_.bind_to_port(host, port))
        bound = port;
    if (bound <= 0) {
        const int err = errno;
        if (error)
            *error = err ? std::strerror(err) : "cannot resolve or bind the address";
        return false;
    }
    port_ = bound;
    return true;
}

bool UpdateServer::serve() {
    serving_ = true;
    const bool ok = stopping_ || http_.listen_after_bind();
    serving_ = false;
    return ok;
}

void UpdateServer::start() {
    serving_ = true;
    thread_ = std::thread([this] { serve(); });
    while (serving_ && !http_.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void UpdateServer::stop() {
    stopping_ = true;
    // The library ignores stop() until its accept loop runs; wait for that
    // (or for serve() to give up).
    while (serving_ && !http_.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    http_.stop();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
}

void UpdateServer::handle(const httplib::Request& req, httplib::Response& res) {
    Reply reply = answer(req);
    res.status = reply.status;
    res.set_content(reply.body, "text/plain");
    if (reply.status == 401)
        res.set_header("WWW-Authenticate", kRealm);
    if (reply.status == 405)
        res.set_header("Allow", "GET");

    record(entry_for(req, reply.status, std::move(reply.body), std::move(reply.user)));
}

UpdateServer::Reply UpdateServer::answer(const httplib::Request& req) {
    if (!is_update_path(req.path))
        return {404, "not found", {}};
    if (req.method != "GET")
        return {405, "method not allowed", {}};

    std::optional<Credentials> credentials;
    if (req.has_header("Authorization"))
        credentials = parse_basic_auth(req.get_header_value("Authorization"));
    const std::string user = credentials ? credentials->user : std::string();
    const Account* account = nullptr;
    if (credentials) {
        for (const Account& a : accounts_) {
            if (a.user == credentials->user && same_secret(a.password, credentials->password))
                account = &a;
        }
    }
    if (!account)
        return {401, "badauth", user};

    if (trimmed(header(req, "User-Agent")).empty())
        return {200, "badagent", user};
    if (req.has_param("system")) {
        const std::string system = req.get_param_value("system");
        if (system != "dyndns" && system != "statdns" && system != "custom")
            return {200, "badsys", user};
    }
    return {200, update_hosts(req, *account), user};
}

std::string UpdateServer::update_hosts(const httplib::Request& req, const Account& account) {
    const std::vector<std::string> names =
        split_list(req.has_param("hostname") ? req.get_param_value("hostname") : std::string());
    if (names.empty())
        return "notfqdn";
    if (names.size() > kMaxHostsPerRequest)
        return "numhost";

    auto param = [&req](const char* key) -> std::optional<std::string> {
        if (!req.has_param(key))
            return std::nullopt;
        return req.get_param_value(key);
    };
    const Addresses addresses = update_addresses(param("myip"), caller_address(req.remote_addr));
    const std::optional<bool> wildcard = parse_switch(param("wildcard"), "ON", "OFF");
    const std::optional<std::string> mx = parse_mx(param("mx"));
    const std::optional<bool> backmx = parse_switch(param("backmx"), "YES", "NO");
    const bool offline = parse_switch(param("offline"), "YES", "NO").value_or(false);

    std::vector<std::string> lines(names.size());
    std::vector<Update> updates;
    std::vector<std::size_t> slots; // which line each update answers
    for (std::size_t i = 0; i < names.size(); ++i) {
        std::string host = normalize_host(names[i]);
        if (!is_fqdn(host)) {
            lines[i] = "notfqdn";
            continue;
        }
        const std::optional<std::string> zone = zone_for(host, zones_);
        auto owner = owners_.find(host);
        if (!zone || owner == owners_.end()) {
            lines[i] = "nohost";
            continue;
        }
        if (&accounts_[owner->second] != &account) {
            lines[i] = "!yours";
            continue;
        }
        Update u;
        u.host = std::move(host);
        u.account = account.user;
        u.zone = *zone;
        u.ipv4 = addresses.ipv4;
        u.ipv6 = addresses.ipv6;
        u.wildcard = wildcard;
        u.mx = mx;
        u.backmx = backmx;
        u.offline = offline;
        updates.push_back(std::move(u));
        slots.push_back(i);
    }

    if (!updates.empty()) {
        std::vector<bool> changed;
        try {
            changed = store_.apply(updates, std::time(nullptr));
        } catch (const StoreError& e) {
            std::fprintf(stderr, "tovix-server: database: %s\n", e.what());
            return "911";
        }
        for (std::size_t j = 0; j < slots.size(); ++j)
            lines[slots[j]] = (changed[j] ? "good " : "nochg ") + addresses.text();
    }

    std::string body;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0)
            body += '\n';
        body += lines[i];
    }
    return body;
}

void UpdateServer::record(RequestEntry entry) {
    const std::string line = format_log_line(entry) + "\n";
    std::lock_guard<std::mutex> lock(log_mutex_);
    history_.push_back(std::move(entry));
    while (history_.size() > kHistorySize)
        history_.pop_front();
    if (log_to_stderr_)
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
