// The metrics registry and its exposition, and /healthz of the monitor's
// listener against a real server, database and committer.
#include "base/metrics.h"
#include "ops/exposition.h"
#include "ops/monitor.h"
#include "support.h"
#include "update/committer.h"

#include <functional>
#include <thread>

namespace tovix::server::test {
namespace {

// The value of one sample line ("name{labels} value") of an exposition.
std::optional<double> sample(const std::string& text, const std::string& series) {
    const std::size_t at = text.find("\n" + series + " ");
    if (at == std::string::npos)
        return std::nullopt;
    return std::stod(text.substr(at + series.size() + 2));
}

TEST(Metrics, CountsShowInTheExposition) {
    struct Row {
        const char* what;
        std::function<void(Metrics&)> count;
        std::vector<std::pair<std::string, double>> samples;
    };
    const auto never = std::chrono::steady_clock::time_point{};
    const std::vector<Row> rows = {
        {"each line of an update's answer counts its word",
         [&](Metrics& m) {
             m.answered(Metrics::kUpdateRoute, never, 200, "good 192.0.2.1\nnohost\n!yours");
         },
         {{"tovix_updates_total{result=\"good\"}", 1},
          {"tovix_updates_total{result=\"nohost\"}", 1},
          {"tovix_updates_total{result=\"!yours\"}", 1},
          {"tovix_requests_total{route=\"update\",status=\"200\"}", 1}}},
        {"a 503 is a 911, an unknown word other, another route no answer",
         [&](Metrics& m) {
             m.answered(Metrics::kUpdateRoute, never, 503, "911");
             m.answered(Metrics::kUpdateRoute, never, 200, "weird");
             m.answered(Metrics::kOtherRoute, never, 404, "not found");
             m.answered(Metrics::kOtherRoute, never, 418, "teapot");
         },
         {{"tovix_updates_total{result=\"911\"}", 1},
          {"tovix_updates_total{result=\"other\"}", 1},
          {"tovix_requests_total{route=\"other\",status=\"404\"}", 1},
          {"tovix_requests_total{route=\"other\",status=\"other\"}", 1}}},
        {"each route by its label; a redirect by its status",
         [&](Metrics& m) {
             m.answered(Metrics::kPageRoute, never, 303, "");
             m.answered(Metrics::kPageRoute, never, 200, "<html>");
             m.answered(Metrics::kCheckipRoute, never, 200, "192.0.2.1");
             m.answered(Metrics::kAcmeRoute, never, 401, "badauth");
         },
         {{"tovix_requests_total{route=\"page\",status=\"303\"}", 1},
          {"tovix_requests_total{route=\"page\",status=\"200\"}", 1},
          {"tovix_requests_total{route=\"checkip\",status=\"200\"}", 1},
          {"tovix_requests_total{route=\"acme\",status=\"401\"}", 1},
          {"tovix_updates_total{result=\"badauth\"}", 0}}},
        {"the web page's sign-ins and actions",
         [](Metrics& m) {
             m.sign_in(Metrics::kSignInGood);
             m.sign_in(Metrics::kSignInWrong);
             m.sign_in(Metrics::kSignInWrong);
             m.page_action(Metrics::kTokenMade);
         },
         {{"tovix_web_sign_ins_total{result=\"good\"}", 1},
          {"tovix_web_sign_ins_total{result=\"wrong\"}", 2},
          {"tovix_web_sign_ins_total{result=\"throttled\"}", 0},
          {"tovix_web_actions_total{action=\"token_made\"}", 1},
          {"tovix_web_actions_total{action=\"account_removed\"}", 0}}},
        {"when the process started",
         [](Metrics& m) { m.start_unix = 1700000000; },
         {{"process_start_time_seconds", 1700000000}}},
        {"an update's latency from its arrival",
         [&](Metrics& m) {
             m.answered(Metrics::kUpdateRoute,
                        std::chrono::steady_clock::now() - std::chrono::seconds(3), 200, "nochg");
         },
         {{"tovix_update_duration_seconds_bucket{le=\"2.5\"}", 0},
          {"tovix_update_duration_seconds_bucket{le=\"5\"}", 1},
          {"tovix_update_duration_seconds_count", 1}}},
        {"commits: batch sizes cumulative, durable updates, sum",
         [](Metrics& m) {
             m.committed(3, std::chrono::milliseconds(20));
             m.committed(100, std::chrono::milliseconds(2));
         },
         {{"tovix_commit_batch_size_bucket{le=\"2\"}", 0},
          {"tovix_commit_batch_size_bucket{le=\"4\"}", 1},
          {"tovix_commit_batch_size_bucket{le=\"128\"}", 2},
          {"tovix_commit_batch_size_bucket{le=\"+Inf\"}", 2},
          {"tovix_commit_batch_size_sum", 103},
          {"tovix_commit_duration_seconds_bucket{le=\"0.0025\"}", 1},
          {"tovix_commit_duration_seconds_bucket{le=\"0.025\"}", 2},
          {"tovix_updates_durable_total", 103}}},
        {"refusals and throttling by reason",
         [](Metrics& m) {
             m.refused(Metrics::kPerSource);
             m.refused(Metrics::kPerSource);
             m.throttled(Metrics::kByAccount);
         },
         {{"tovix_http_refused_total{reason=\"per_source\"}", 2},
          {"tovix_http_refused_total{reason=\"too_slow\"}", 0},
          {"tovix_throttled_total{reason=\"account\"}", 1}}},
    };
    for (const Row& row : rows) {
        Metrics m;
        row.count(m);
        const std::string text = render_metrics(m);
        for (const auto& [series, value] : row.samples)
            EXPECT_EQ(sample(text, series), value) << row.what << ": " << series;
    }
}

TEST(Metrics, EveryFamilyHasHelpAndType) {
    const std::string text = render_metrics(Metrics{});
    for (std::size_t at = text.find("# TYPE "); at != std::string::npos;
         at = text.find("# TYPE ", at + 1)) {
        const std::string name = text.substr(at + 7, text.find(' ', at + 7) - at - 7);
        EXPECT_NE(text.find("# HELP " + name + " "), std::string::npos) << name;
    }
    for (const char* family : {"tovix_requests_total",
                               "tovix_updates_total",
                               "tovix_password_checks_total",
                               "tovix_password_cache_hits_total",
                               "tovix_throttled_total",
                               "tovix_http_refused_total",
                               "tovix_commit_batch_size",
                               "tovix_commit_duration_seconds",
                               "tovix_committer_queue_depth",
                               "tovix_updates_durable_total",
                               "tovix_update_duration_seconds",
                               "tovix_open_connections",
                               "tovix_suspended_requests",
                               "tovix_queued_password_checks",
                               "tovix_hosts",
                               "tovix_accounts",
                               "tovix_zones",
                               "tovix_last_commit_timestamp_seconds",
                               "tovix_build_info",
                               "tovix_dns_purge_commands_total",
                               "tovix_dns_purge_failures_total",
                               "tovix_dns_purge_unconfirmed_total"})
        EXPECT_NE(text.find(std::string("# TYPE ") + family + " "), std::string::npos) << family;
}

// A server with the monitor's listener beside it, probing after 100 ms quiet.
struct Monitored {
    TempDir dir;
    std::string db = dir.file("m.db");
    std::unique_ptr<UpdateServer> server = start_server([this] {
        Config c;
        c.db_path = db;
        c.zones = {"dyn.example"};
        c.accounts = {{"alice", "pw", {"a.dyn.example"}}};
        return c;
    }());
    Monitor monitor{db, std::chrono::milliseconds(100)};
    Monitored() {
        std::string error;
        if (!monitor.listen("127.0.0.1", 0, &error))
            throw std::runtime_error(error);
    }
    // Polls /healthz (10 s at most) until it answers `status`.
    std::pair<int, std::string> health(int status) {
        httplib::Client client("127.0.0.1", monitor.port());
        std::pair<int, std::string> seen{0, ""};
        for (int i = 0; i < 200 && seen.first != status; ++i) {
            if (i > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (auto r = client.Get("/healthz"))
                seen = {r->status, r->body};
        }
        return seen;
    }
};

TEST(Health, Table) {
    struct Row {
        const char* what;
        std::function<std::function<void()>(Monitored&)> spoil; // returns the repair
        int status;
        std::string reason;
    };
    const std::vector<Row> rows = {
        {"a working database", [](Monitored&) { return [] {}; }, 200, "ok\n"},
        {"the database file gone",
         [](Monitored& m) {
             for (const char* end : {"", "-wal", "-shm"})
                 std::filesystem::remove(m.db + end);
             return [] {};
         },
         503, "database unreachable: "},
        {"the committer's queue full",
         [](Monitored& m) {
             // The database's write lock held elsewhere: the committer waits
             // on its first batch while the next ones queue up.
             auto store = std::make_shared<Store>(m.db, Store::Mode::Existing);
             auto committer = std::make_shared<Committer>(*store, nullptr, 1024, 2);
             auto holder = std::shared_ptr<Database>(connection(m.db));
             holder->exec("BEGIN IMMEDIATE");
             Update u;
             u.host = "a.dyn.example";
             u.account = "alice";
             u.zone = "dyn.example";
             u.ipv4 = "192.0.2.9";
             committer->submit({u}, [](auto) {});
             for (int i = 0; i < 200 && metrics().committer_queue.load() > 0; ++i)
                 std::this_thread::sleep_for(std::chrono::milliseconds(10));
             for (int i = 0; i < 4 && committer->submit({u}, [](auto) {}); ++i) {
             }
             return std::function<void()>([holder, store, committer]() mutable {
                 holder->exec("ROLLBACK");
                 committer.reset(); // writes what is queued
             });
         },
         503, "queue full: 2 updates"},
    };
    for (const Row& row : rows) {
        Monitored m;
        EXPECT_EQ(m.health(200).first, 200) << row.what << ": before";
        std::function<void()> repair = row.spoil(m);
        const auto [status, body] = m.health(row.status);
        EXPECT_EQ(status, row.status) << row.what << ": " << body;
        EXPECT_EQ(body.rfind(row.reason, 0), 0u) << row.what << ": " << body;
        repair();
    }
}

TEST(Monitor, AnswersOnlyItsTwoPaths) {
    Monitor monitor("unused.db");
    const std::vector<std::tuple<const char*, const char*, int>> rows = {
        {"GET", "/metrics", 200},   {"GET", "/metrics?x=1", 404}, {"GET", "/metrics?", 404},
        {"GET", "/", 404},          {"GET", "/nic/update", 404},  {"POST", "/metrics", 405},
        {"GET", "/healthz/x", 404},
    };
    for (const auto& [method, target, status] : rows)
        EXPECT_EQ(monitor.answer(method, target).status, status) << method << " " << target;
}

} // namespace
} // namespace tovix::server::test
