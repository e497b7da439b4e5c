// tovix-server: the update server for Tovix clients.
#include "cli.h"
#include "update_server.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <optional>
#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <thread>

using namespace tovix::server;

namespace {

std::string describe(const ListenAddress& listen) {
    const bool v6 = listen.host.find(':') != std::string::npos;
    return (v6 ? "[" + listen.host + "]" : listen.host) + ":" + std::to_string(listen.port);
}

int serve(const Options& options) {
    // SIGINT and SIGTERM are taken by one thread with sigwait(); every other
    // thread (the server's pool included) inherits the blocked mask.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::optional<UpdateServer> server;
    try {
        server.emplace(options.config);
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "tovix-server: %s\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tovix-server: %s\n", e.what());
        return 1;
    }

    ListenAddress listen = options.listen;
    std::string error;
    if (!server->bind(listen.host, listen.port, &error)) {
        std::fprintf(stderr, "tovix-server: cannot listen on %s: %s\n", describe(listen).c_str(),
                     error.c_str());
        return 1;
    }
    listen.port = server->port();
    std::fprintf(stderr, "tovix-server: listening on %s, database %s\n", describe(listen).c_str(),
                 options.config.db_path.c_str());

    std::atomic<bool> signalled{false};
    std::thread waiter([&] {
        int sig = 0;
        sigwait(&stop_signals, &sig);
        signalled = true;
        server->stop();
    });
    const bool ok = server->serve();
    if (!signalled)
        pthread_kill(waiter.native_handle(), SIGTERM); // wake the waiter
    waiter.join();
    if (!ok) {
        std::fprintf(stderr, "tovix-server: stopped serving on %s\n", describe(listen).c_str());
        return 1;
    }
    std::fprintf(stderr, "tovix-server: stopped\n");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::string error;
    std::optional<Options> options =
        parse_command_line(std::vector<std::string>(argv + 1, argv + argc), &error);
    if (!options) {
        std::fprintf(stderr, "tovix-server: %s\nTry 'tovix-server --help'.\n", error.c_str());
        return 2;
    }
    switch (options->command) {
    case Options::Command::Help:
        std::fputs(kUsage, stdout);
        return 0;
    case Options::Command::List:
        return list_records(options->config.db_path, std::cout, std::cerr);
    case Options::Command::Serve:
        break;
    }
    return serve(*options);
}
