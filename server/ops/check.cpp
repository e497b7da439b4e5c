// The checks of `tovix-server check`: the database (opens, writable,
// layout, file mode), the zones in it and in PowerDNS's answers, the
// certificate and its key, and the built-in account.
#include "ops/check.h"

#include "auth/account_rules.h"
#include "auth/guard.h"
#include "auth/passwords.h"
#include "ops/request_log.h"
#include "store/inspect.h"

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <ostream>
#include <random>
#include <sstream>

namespace tovix::server {

namespace {

class Report {
  public:
    explicit Report(std::ostream& out) : out_(out) {}
    void ok(const std::string& what) { out_ << "ok   " << what << '\n'; }
    void fail(const std::string& what, const std::string& problem, const std::string& fix) {
        out_ << "FAIL " << what << ": " << problem << "; fix: " << fix << '\n';
        ++failures_;
    }
    int status() const { return failures_ == 0 && out_ ? 0 : 1; }

  private:
    std::ostream& out_;
    int failures_ = 0;
};

bool is_loopback_host(const std::string& host) {
    return host.rfind("127.", 0) == 0 || host == "::1" || host == "localhost";
}

std::string read_text(const std::string& path, bool* ok) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    *ok = in.is_open() && !text.str().empty();
    return text.str();
}

// The certificate's days left, and whether the key is its key.
void check_certificate(const CheckRequest& request, Report& report) {
    const std::string& cert_file = request.tls_cert_file;
    bool read = false;
    const std::string cert_pem = read_text(cert_file, &read);
    if (!read)
        return report.fail("certificate " + cert_file, "cannot be read",
                           "give the PEM file of the certificate chain");
    gnutls_x509_crt_t cert = nullptr;
    gnutls_x509_crt_init(&cert);
    gnutls_datum_t datum{reinterpret_cast<unsigned char*>(const_cast<char*>(cert_pem.data())),
                         static_cast<unsigned>(cert_pem.size())};
    if (gnutls_x509_crt_import(cert, &datum, GNUTLS_X509_FMT_PEM) < 0) {
        gnutls_x509_crt_deinit(cert);
        return report.fail("certificate " + cert_file, "no PEM certificate in it",
                           "give the PEM file of the certificate chain");
    }
    const std::time_t expires = gnutls_x509_crt_get_expiration_time(cert);
    gnutls_x509_crt_deinit(cert);
    const long days = static_cast<long>((expires - std::time(nullptr)) / 86400);
    const std::string what = "certificate " + cert_file + " valid for 14 days or more";
    if (expires == static_cast<std::time_t>(-1) || days < 14)
        report.fail(what, days < 0 ? "it has expired" : std::to_string(days) + " days left",
                    "renew it, then restart tovix-server");
    else
        report.ok(what + " (" + std::to_string(days) + " days left)");

    if (request.tls_key_file.empty())
        return;
    const std::string key_pem = read_text(request.tls_key_file, &read);
    const std::string match = "key " + request.tls_key_file + " matches the certificate";
    if (!read)
        return report.fail(match, "the key cannot be read", "give the PEM file of its key");
    gnutls_certificate_credentials_t credentials = nullptr;
    gnutls_certificate_allocate_credentials(&credentials);
    gnutls_datum_t key{reinterpret_cast<unsigned char*>(const_cast<char*>(key_pem.data())),
                       static_cast<unsigned>(key_pem.size())};
    const int r =
        gnutls_certificate_set_x509_key_mem(credentials, &datum, &key, GNUTLS_X509_FMT_PEM);
    gnutls_certificate_free_credentials(credentials);
    if (r < 0)
        report.fail(match, gnutls_strerror(r), "give the key the certificate was issued for");
    else
        report.ok(match);
}

// The database opened as the server opens it (an SQLite file that does
// not exist is not made); nothing when it does not open.
std::unique_ptr<Database> open_database(const std::string& where, Report& report) {
    const std::string shown = printable_location(where);
    const bool sqlite = !is_postgres_uri(where);
    struct stat st {};
    if (sqlite && stat(where.c_str(), &st) != 0) {
        report.fail("database " + shown + " opens", "no such file",
                    "give --db the server's database (its first start creates it)");
        return nullptr;
    }
    try {
        std::unique_ptr<Database> db = sqlite ? open_sqlite(where, false) : open_postgres(where);
        report.ok("database " + shown + " opens");
        return db;
    } catch (const StoreError& e) {
        report.fail("database " + shown + " opens", e.what(),
                    sqlite ? "check the path and its permissions"
                           : "check the URI, and that PostgreSQL runs and lets the user in");
        return nullptr;
    }
}

void check_writable(Database& db, bool sqlite, Report& report) {
    try {
        db.check_writable();
        report.ok("database is writable");
    } catch (const StoreError& e) {
        report.fail("database is writable", e.what(),
                    sqlite ? "give the server's user write access to the file and its directory"
                           : "point --db at the primary, not a standby");
    }
}

// Each zone asked for (or in the database) has its apex, and PowerDNS
// answers the serial the database holds.
void check_zones(Database& db, const CheckRequest& request, Report& report) {
    std::vector<std::string> to_check = request.zones.empty() ? zone_names(db) : request.zones;
    if (to_check.empty())
        report.fail("zones", "the database serves none", "start tovix-server with --zone NAME");
    for (const std::string& zone : to_check) {
        const ZoneApex apex = zone_apex(db, zone);
        if (!apex.exists || !apex.soa || !apex.ns) {
            report.fail("zone " + zone + " has SOA and NS",
                        !apex.exists ? "not in the database"
                                     : std::string("no ") + (apex.soa ? "NS" : "SOA"),
                        "start tovix-server with --zone " + zone + ": it creates both");
            continue;
        }
        report.ok("zone " + zone + " has SOA and NS");
        std::string why;
        const std::string what = "PowerDNS at " +
                                 format_endpoint(request.dns_host, request.dns_port) +
                                 " answers the serial of " + zone;
        const std::optional<std::uint32_t> serial =
            ask_soa_serial(request.dns_host, request.dns_port, zone, &why);
        if (!serial)
            report.fail(what, why,
                        "start PowerDNS over this database (tovix-server-dns), or give --dns");
        else if (serial != apex.serial)
            report.fail(what,
                        "it answers " + std::to_string(*serial) + ", the database holds " +
                            (apex.serial ? std::to_string(*apex.serial) : "none"),
                        "point PowerDNS at this database, and give it --pdns-control");
        else
            report.ok(what + " (" + std::to_string(*serial) + ")");
    }
}

void check_builtin_account(Database& db, const CheckRequest& request, Report& report) {
    const std::string what = "no built-in account on a listener beyond loopback";
    const auto exposed = std::find_if(request.listen_hosts.begin(), request.listen_hosts.end(),
                                      [](const std::string& h) { return !is_loopback_host(h); });
    const SeedAccount builtin = default_account();
    const std::optional<std::string> hash = password_hash(db, builtin.user);
    if (exposed != request.listen_hosts.end() && hash && verify_password(*hash, builtin.password))
        report.fail(what,
                    "account " + builtin.user + " has its published password and the" +
                        " server listens on " + request.listen_hosts.front(),
                    "tovix-server account remove " + builtin.user + " --db " +
                        printable_location(request.db));
    else
        report.ok(what);
}

void check_file_mode(const std::string& where, Report& report) {
    struct stat st {};
    if (stat(where.c_str(), &st) != 0)
        return;
    const std::string what = "database file mode is 0600";
    if ((st.st_mode & 0777) != 0600) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 0777));
        report.fail(what, std::string("it is ") + mode, "chmod 600 " + where);
    } else {
        report.ok(what);
    }
}

// The database checks.
void check_database(const CheckRequest& request, Report& report) {
    const bool sqlite = !is_postgres_uri(request.db);
    const std::unique_ptr<Database> db = open_database(request.db, report);
    if (!db) {
        for (const char* what : {"database is writable", "database layout is current"})
            report.fail(what, "not checked", "make the database open first");
        for (const std::string& zone : request.zones)
            report.fail("zone " + zone, "not checked", "make the database open first");
        return;
    }
    check_writable(*db, sqlite, report);
    try {
        const std::string problem = layout_problem(*db);
        if (problem.empty())
            report.ok("database layout is current");
        else
            report.fail("database layout is current", problem,
                        "start tovix-server on it once: it brings the layout up to date");
        check_zones(*db, request, report);
        check_builtin_account(*db, request, report);
    } catch (const StoreError& e) {
        report.fail("database reads", e.what(), "check the database");
    }
    if (sqlite)
        check_file_mode(request.db, report);
}

// A name in DNS's wire format, or in a message at `at` (compression pointers
// followed); false when malformed.
bool skip_name(const unsigned char* message, std::size_t size, std::size_t* at) {
    for (int labels = 0; labels < 128 && *at < size; ++labels) {
        const unsigned char length = message[*at];
        if (length == 0) {
            ++*at;
            return true;
        }
        if ((length & 0xc0) == 0xc0) {
            *at += 2;
            return *at <= size;
        }
        *at += 1 + length;
    }
    return false;
}

std::uint32_t read32(const unsigned char* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           p[3];
}

std::optional<std::uint32_t> exchange_soa(int fd, const std::string& zone, std::string* error);

} // namespace

std::optional<std::uint32_t> ask_soa_serial(const std::string& host, int port,
                                            const std::string& zone, std::string* error) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
        *error = "not a numeric address: " + host;
        return std::nullopt;
    }
    const int fd = socket(found->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool connected = fd >= 0 && connect(fd, found->ai_addr, found->ai_addrlen) == 0;
    freeaddrinfo(found);
    std::optional<std::uint32_t> serial;
    if (connected)
        serial = exchange_soa(fd, zone, error);
    else
        *error = "cannot reach it";
    if (fd >= 0)
        close(fd);
    return serial;
}

namespace {

// One SOA query over a connected UDP socket, tried three times a second apart.
std::optional<std::uint32_t> exchange_soa(int fd, const std::string& zone, std::string* error) {
    const std::uint16_t id = static_cast<std::uint16_t>(std::random_device{}());
    std::string query{
        static_cast<char>(id >> 8), static_cast<char>(id & 0xff), 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    std::size_t start = 0;
    while (start <= zone.size()) {
        const std::size_t dot = std::min(zone.find('.', start), zone.size());
        query += static_cast<char>(dot - start);
        query += zone.substr(start, dot - start);
        start = dot + 1;
    }
    query += std::string{0, 0, 6, 0, 1}; // root, type SOA, class IN
    unsigned char answer[4096];
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (send(fd, query.data(), query.size(), 0) < 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0)
            continue;
        const ssize_t got = recv(fd, answer, sizeof answer, 0);
        if (got < 12 || answer[0] != (id >> 8) || answer[1] != (id & 0xff))
            continue;
        const std::size_t size = static_cast<std::size_t>(got);
        if ((answer[3] & 0x0f) != 0) {
            *error = "it answers rcode " + std::to_string(answer[3] & 0x0f);
            return std::nullopt;
        }
        std::size_t at = 12;
        if (!skip_name(answer, size, &at) || (at += 4) > size)
            break;
        const int count = (answer[6] << 8) | answer[7];
        for (int i = 0; i < count; ++i) {
            if (!skip_name(answer, size, &at) || at + 10 > size)
                break;
            const int type = (answer[at] << 8) | answer[at + 1];
            const std::size_t length = (std::size_t{answer[at + 8]} << 8) | answer[at + 9];
            at += 10;
            if (at + length > size)
                break;
            std::size_t field = at;
            if (type == 6 && skip_name(answer, size, &field) && skip_name(answer, size, &field) &&
                field + 4 <= size)
                return read32(answer + field);
            at += length;
        }
        *error = "no SOA in its answer";
        return std::nullopt;
    }
    *error = "no answer";
    return std::nullopt;
}

} // namespace

int run_checks(const CheckRequest& request, std::ostream& out) {
    Report report(out);
    check_database(request, report);
    if (!request.tls_cert_file.empty())
        check_certificate(request, report);
    out.flush();
    return report.status();
}

} // namespace tovix::server
