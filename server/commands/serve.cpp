// Serving: the signals, the HTTPS certificate and key read in, the server
// built from its Config (the composition root, server.h), its listeners
// and the metrics listener; then until SIGINT or SIGTERM.
#include "base/address.h"
#include "base/metrics.h"
#include "commands/commands.h"
#include "ops/monitor.h"
#include "ops/request_log.h"
#include "server.h"
#include "store/database.h"
#include "update/dyndns.h"

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>

namespace tovix::server {

namespace {

std::string describe(const ListenAddress& listen) {
    return format_endpoint(listen.host, listen.port);
}

bool loopback(const std::string& host) {
    return host.rfind("127.", 0) == 0 || host == "::1";
}

bool read_file(const std::string& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    *text = content.str();
    return in.good() || in.eof();
}

// Every connection is a descriptor: take all the process may have.
void raise_descriptor_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// The HTTPS endpoint with its certificate and key read in.
bool read_tls(const Options& options, Endpoint* tls) {
    tls->host = options.listen_tls->host;
    tls->port = options.listen_tls->port;
    for (auto [path, text] : {std::pair{&options.tls_cert_file, &tls->tls_cert},
                              std::pair{&options.tls_key_file, &tls->tls_key}}) {
        if (!read_file(*path, text) || text->empty()) {
            std::fprintf(stderr, "tovix-server: cannot read %s\n", path->c_str());
            return false;
        }
    }
    return true;
}

// Loopback or a private range: no warning that the metrics show the traffic.
bool private_address(const std::string& host) {
    const std::optional<std::string> ip = canonical_ip(host);
    return ip && is_host_address(*ip, {true, true}) && !is_host_address(*ip, {false, false});
}

// The monitor's listener, when asked for; false when it cannot listen.
bool start_monitor(const Options& options, std::optional<Monitor>& monitor, std::string* where) {
    if (!options.metrics_listen)
        return true;
    const ListenAddress& at = *options.metrics_listen;
    if (!private_address(at.host))
        std::fprintf(stderr,
                     "tovix-server: warning: --metrics-listen %s is no loopback or private"
                     " address; the metrics tell of the traffic: keep the port firewalled\n",
                     describe(at).c_str());
    monitor.emplace(options.config.db_path);
    std::string error;
    if (!monitor->listen(at.host, at.port, &error)) {
        std::fprintf(stderr, "tovix-server: cannot serve metrics on %s: %s\n", describe(at).c_str(),
                     error.c_str());
        return false;
    }
    *where += ", metrics on " + describe({at.host, monitor->port()});
    return true;
}

} // namespace

// Everything that can be found wrong is found before the first answer: the
// database (opened and written), the certificate and key, the addresses.
int serve_command(const Options& options) {
    metrics().start_unix = static_cast<std::int64_t>(std::time(nullptr));
    // SIGINT and SIGTERM are taken here with sigwait(); every other thread
    // inherits the blocked mask.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    raise_descriptor_limit();

    Endpoint tls;
    if (options.listen_tls && !read_tls(options, &tls))
        return 1;
    Config config = options.config;
    config.loopback_only = loopback(options.listen.host) &&
                           (!options.listen_tls || loopback(options.listen_tls->host));
    std::optional<UpdateServer> server;
    try {
        server.emplace(config);
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "tovix-server: %s\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tovix-server: %s\n", e.what());
        return 1;
    }
    std::string error;
    ListenAddress plain = options.listen;
    if (!server->listen({plain.host, plain.port, "", ""}, &error)) {
        std::fprintf(stderr, "tovix-server: cannot listen on %s: %s\n", describe(plain).c_str(),
                     error.c_str());
        return 1;
    }
    plain.port = server->port(0);
    std::string where = describe(plain);
    if (options.listen_tls) {
        if (!server->listen(tls, &error)) {
            std::fprintf(stderr, "tovix-server: cannot serve HTTPS on %s: %s\n",
                         describe(*options.listen_tls).c_str(), error.c_str());
            return 1;
        }
        where += ", HTTPS on " + describe({tls.host, server->port(1)});
    }
    metrics().database_kind = is_postgres_uri(config.db_path) ? "postgresql" : "sqlite";
    metrics().zones = static_cast<std::int64_t>(std::max<std::size_t>(1, config.zones.size()));
    std::optional<Monitor> monitor;
    if (!start_monitor(options, monitor, &where))
        return 1;
    std::fprintf(stderr, "tovix-server: listening on %s, database %s\n", where.c_str(),
                 printable_location(options.config.db_path).c_str());
    int sig = 0;
    sigwait(&stop_signals, &sig);
    if (monitor)
        monitor->stop();
    server->stop();
    std::fprintf(stderr, "tovix-server: stopped\n");
    return 0;
}

} // namespace tovix::server
