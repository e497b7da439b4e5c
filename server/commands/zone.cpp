// The zone commands. pdnsutil takes its settings only from a pdns.conf, so
// each run gets one of its own in a private temporary folder (it may hold
// the database's password), removed afterwards. Every change is announced
// like an update's: purged from the PowerDNS of --pdns-control, and with
// PostgreSQL from every running server's.
#include "commands/zone.h"

#include "base/strings.h"
#include "commands/commands.h"
#include "dns/names.h"
#include "dns/purge.h"
#include "store/store.h"

#include <libpq-fe.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <ostream>
#include <stdexcept>

extern char** environ;

namespace tovix::server {

namespace {

std::string setting(const std::string& key, const std::string& value) {
    if (value.find_first_of("\r\n") != std::string::npos)
        throw std::invalid_argument("a line break in the database's " + key);
    return key + "=" + value + "\n";
}

// libpq's connection parameters as gpgsql-* settings; those PowerDNS has
// no setting of its own for go to its extra connection parameters.
std::string postgres_settings(const std::string& uri) {
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(uri.c_str(), &error);
    if (!options) {
        const std::string why = error ? error : "out of memory";
        PQfreemem(error);
        throw std::invalid_argument(why);
    }
    std::string out = "launch=gpgsql\ngpgsql-dnssec=yes\n", extra;
    try {
        for (PQconninfoOption* o = options; o->keyword; ++o) {
            if (!o->val || !*o->val)
                continue;
            const std::string key = o->keyword, value = o->val;
            if (key == "host" || key == "port" || key == "dbname" || key == "user" ||
                key == "password") {
                out += setting("gpgsql-" + key, value);
            } else {
                std::string quoted;
                for (char c : value)
                    quoted += c == '\'' || c == '\\' ? std::string("\\") + c : std::string(1, c);
                extra += (extra.empty() ? "" : " ") + key + "='" + quoted + "'";
            }
        }
        if (!extra.empty())
            out += setting("gpgsql-extra-connection-parameters", extra);
    } catch (...) {
        PQconninfoFree(options);
        throw;
    }
    PQconninfoFree(options);
    return out;
}

// A private folder with a pdns.conf, removed with the object.
class ConfigDir {
  public:
    explicit ConfigDir(const std::string& config) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tovix-pdnsutil.XXXXXX";
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("cannot make a folder for pdnsutil's settings in " + pattern +
                                     ": " + std::strerror(errno));
        dir_ = pattern;
        std::ofstream file(dir_ + "/pdns.conf");
        file << config;
        if (!file.flush())
            throw std::runtime_error("cannot write " + dir_ + "/pdns.conf");
    }
    ~ConfigDir() {
        unlink((dir_ + "/pdns.conf").c_str());
        rmdir(dir_.c_str());
    }
    ConfigDir(const ConfigDir&) = delete;
    ConfigDir& operator=(const ConfigDir&) = delete;
    const std::string& path() const { return dir_; }

  private:
    std::string dir_;
};

// pdnsutil could not be run at all: the zone stays as it is.
class MissingTool : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Runs pdnsutil ARGS with the settings in `dir`; its standard output goes
// to standard error unless `output` (zone ds). Throws MissingTool when it
// cannot be started, std::runtime_error when it fails.
void pdnsutil(const std::string& tool, const ConfigDir& dir, const std::vector<std::string>& args,
              bool output) {
    std::vector<std::string> words{tool, "--config-dir=" + dir.path()};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!output)
        posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    pid_t pid = 0;
    const int error = posix_spawnp(&pid, tool.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        throw MissingTool("cannot run " + tool + ": " + std::strerror(error) +
                          " (pdnsutil comes with pdns-server; --pdnsutil PATH names it)");
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string command = "pdnsutil";
        for (const std::string& a : args)
            command += " " + a;
        throw std::runtime_error(command + " failed" +
                                 (WIFEXITED(status)
                                      ? " (exit status " + std::to_string(WEXITSTATUS(status)) + ")"
                                      : " (killed)"));
    }
}

// Signs `zone` (marked as asking for it already); false with the reason on
// `err` when it is not signed afterwards.
bool secure(Store& store, const Options& options, const std::string& zone, std::ostream& err) {
    try {
        const ConfigDir dir(pdnsutil_config(options.config.db_path));
        for (const std::vector<std::string>& args : signing_commands(zone, store.has_keys(zone)))
            pdnsutil(options.pdnsutil, dir, args, false);
    } catch (const MissingTool& e) {
        err << "tovix-server: zone " << zone << " is not signed: " << e.what()
            << ". It stays unsigned, and served; it asked to be signed, so 'tovix-server zone"
               " secure --requested' (run by tovix-server-dns.service as it starts) signs it"
               " once pdnsutil is there\n";
        return false;
    } catch (const std::exception& e) {
        err << "tovix-server: zone " << zone << ": " << e.what()
            << "; run 'tovix-server zone secure " << zone << "' again\n";
        store.announce({zone + "$"});
        return false;
    }
    // Cached unsigned answers go.
    store.announce({zone + "$"});
    err << "tovix-server: zone " << zone
        << " is signed (ECDSA P-256, NSEC3 narrow); hand its DS records ('tovix-server zone ds "
        << zone << "') to the parent zone\n";
    return true;
}

} // namespace

std::string pdnsutil_config(const std::string& where) {
    std::string out = "# Written by tovix-server for one run of pdnsutil.\n";
    if (is_postgres_uri(where)) {
        out += postgres_settings(where);
    } else {
        char resolved[PATH_MAX];
        if (!realpath(where.c_str(), resolved))
            throw std::invalid_argument("cannot find " + where + ": " + std::strerror(errno));
        out += "launch=gsqlite3\ngsqlite3-dnssec=yes\ngsqlite3-pragma-foreign-keys=yes\n" +
               setting("gsqlite3-database", resolved);
    }
    // One key (a CSK), ECDSA P-256 with SHA-256: algorithm 13.
    return out + "default-ksk-algorithm=ecdsa256\ndefault-zsk-algorithm=\n";
}

std::vector<std::vector<std::string>> signing_commands(const std::string& zone, bool has_key) {
    std::vector<std::vector<std::string>> out{{"set-nsec3", zone, "1 0 0 -", "narrow"}};
    if (!has_key)
        out.push_back({"secure-zone", zone});
    out.push_back({"rectify-zone", zone});
    return out;
}

namespace {

// The store, opened as `mode` says with `zones` served, its changed names
// told to `purger`.
void open_store(std::optional<Store>& store, const Options& options, Store::Mode mode,
                std::vector<std::string> zones, DnsPurger& purger) {
    store.emplace(options.config.db_path, mode,
                  StoreOptions{std::move(zones), options.config.ttl, options.config.pdns_schema});
    store->on_changed_names(
        [&purger](const std::vector<std::string>& names) { purger.purge(names); });
}

// zone add NAME [--dnssec]: opening the store with the zone served creates
// it (SOA, NS) and publishes the hosts waiting for it.
int add_zone(std::optional<Store>& store, DnsPurger& purger, const Options& options,
             const std::string& zone, std::ostream& err) {
    if (store->has_zone(zone)) {
        err << "tovix-server: zone " << zone << " is in the database already\n";
    } else {
        open_store(store, options, Store::Mode::Create, {zone}, purger);
        store->announce({zone + "$"});
        err << "tovix-server: zone " << zone << " added; serve updates in it with --zone " << zone
            << "\n";
    }
    if (!options.dnssec)
        return 0;
    store->request_dnssec(zone);
    return secure(*store, options, zone, err) ? 0 : 1;
}

} // namespace

int zone_command(const Options& options, std::ostream& out, std::ostream& err) {
    const std::vector<std::string>& z = options.words;
    const std::string& verb = z[0];
    const std::string zone = z.size() > 1 ? normalize_host(z[1]) : "";
    try {
        DnsPurger purger(options.config.pdns_control,
                         [&err](const std::string& line) { err << line << '\n'; });
        std::optional<Store> store;
        open_store(store, options, verb == "add" ? Store::Mode::Create : Store::Mode::Existing, {},
                   purger);
        if (verb == "add")
            return add_zone(store, purger, options, zone, err);
        if (verb == "secure" && options.requested) {
            bool all = true;
            for (const std::string& name : store->unsigned_requests())
                all = secure(*store, options, name, err) && all;
            return all ? 0 : 1;
        }
        if (!store->has_zone(zone)) {
            err << "tovix-server: zone " << zone
                << " is not in the database (add it with 'tovix-server zone add " << zone << "')\n";
            return 1;
        }
        if (verb == "secure") {
            store->request_dnssec(zone);
            return secure(*store, options, zone, err) ? 0 : 1;
        }
        if (!store->has_keys(zone)) {
            err << "tovix-server: zone " << zone << " is not signed ('tovix-server zone secure "
                << zone << "' signs it)\n";
            return 1;
        }
        out.flush();
        const ConfigDir dir(pdnsutil_config(options.config.db_path));
        pdnsutil(options.pdnsutil, dir, {"export-zone-ds", zone}, true);
        return 0;
    } catch (const std::exception& e) {
        err << "tovix-server: " << e.what() << '\n';
        return 1;
    }
}

} // namespace tovix::server
