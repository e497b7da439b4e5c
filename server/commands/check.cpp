// `tovix-server check`: the command line's options as ops/check takes them.
#include "ops/check.h"

#include "commands/commands.h"

namespace tovix::server {

int check_command(const Options& options, std::ostream& out) {
    CheckRequest request;
    request.db = options.config.db_path;
    request.zones = options.config.zones;
    request.tls_cert_file = options.tls_cert_file;
    request.tls_key_file = options.tls_key_file;
    if (options.dns) {
        request.dns_host = options.dns->host;
        request.dns_port = options.dns->port;
    }
    request.listen_hosts = {options.listen.host};
    if (options.listen_tls)
        request.listen_hosts.push_back(options.listen_tls->host);
    return run_checks(request, out);
}

} // namespace tovix::server
