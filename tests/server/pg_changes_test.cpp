// Servers on one PostgreSQL database hear of each other's changes
// (ChangeListener): what the other servers commit, in commit order, never
// their own, nothing of a rollback, and everything again after the
// listening connection was lost: every served name purged, and the
// accounts' change log read from where it was (news of accounts, "@").
// Runs with the ServerPostgres suite.
#include "store/changes.h"
#include "store/store.h"
#include "support.h"

#include <condition_variable>
#include <mutex>

namespace tovix::server::test {
namespace {

using namespace std::chrono_literals;

const std::string kZone = "tovix.example";

// What a listener handed on, one entry per call, and its log.
class Heard {
  public:
    void names(const std::vector<std::string>& n) {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(n);
        changed_.notify_all();
    }
    void log(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        log_ += line + "\n";
    }
    // The next call's names, waiting at most 10 s; nothing if none came.
    std::vector<std::string> next() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, std::chrono::seconds(10),
                               [&] { return taken_ < calls_.size(); }))
            return {};
        return calls_[taken_++];
    }
    std::string log_text() {
        std::lock_guard<std::mutex> lock(mutex_);
        return log_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::vector<std::string>> calls_;
    std::size_t taken_ = 0;
    std::string log_;
};

Update address(const std::string& host, const std::string& ipv4) {
    Update u;
    u.host = host;
    u.account = "tovix";
    u.zone = kZone;
    u.ipv4 = ipv4;
    return u;
}

TEST(ServerPostgresChanges, EachServerHearsTheOthersCommits) {
    if (postgres_uri().empty())
        GTEST_SKIP() << "TOVIX_TEST_POSTGRES is not set";
    const std::string uri = fresh_postgres();
    Store a(uri, Store::Mode::Create, StoreOptions{{kZone}, 60});
    Store b(uri, Store::Mode::Create, StoreOptions{{kZone}, 60});
    own(a, "tovix", {"a.tovix.example", "b.tovix.example", "c.tovix.example"});
    Heard heard;
    const std::vector<std::string> every{kZone + "$"};
    const std::vector<std::string> news{"@"};
    ChangeListener listener(
        uri, a.origin(), every, [&](const std::vector<std::string>& n) { heard.names(n); },
        [&] { heard.names(news); }, [&](const std::string& line) { heard.log(line); },
        ListenPolicy{2000ms, 50ms, 400ms});
    ASSERT_EQ(every, heard.next()) << "a new connection purges every served name once";
    EXPECT_EQ(news, heard.next()) << "and reads the change log from where it was";

    // Rows in commit order: what A (its own) or B commits, and what A's
    // listener hears next; A's own changes and a rolled-back batch are never
    // heard, or they would come before B's next change.
    const std::vector<std::string> b_names{"b.tovix.example", kZone};
    a.apply({address("a.tovix.example", "192.0.2.1")}, 1);
    b.apply({address("b.tovix.example", "192.0.2.2")}, 2);
    EXPECT_EQ(b_names, heard.next()) << "B's change, not A's own";
    Update refused = address("Upper.tovix.example", "192.0.2.9"); // PowerDNS wants lower case
    refused.account = "upper";
    own(b, "upper", {refused.host});
    EXPECT_EQ(news, heard.next()) << "an account change";
    EXPECT_THROW(b.apply({address("c.tovix.example", "192.0.2.3"), refused}, 3), StoreError);
    b.apply({address("b.tovix.example", "192.0.2.4")}, 4);
    EXPECT_EQ(b_names, heard.next()) << "nothing of the rolled-back batch";
    EXPECT_TRUE(b.set_hosts("tovix", {"a.tovix.example", "c.tovix.example"}));
    // A withdrawn host's wildcard is not known: its name and every name under it.
    EXPECT_EQ((std::vector<std::string>{"*.b.tovix.example", "b.tovix.example", "b.tovix.example$",
                                        kZone}),
              heard.next())
        << "a withdrawal";
    EXPECT_EQ(news, heard.next()) << "an account change again";

    // The listening connection is lost: logged, opened again, every served
    // name purged once, and what B commits afterwards is heard.
    open_postgres(uri)->exec("SELECT pg_terminate_backend(pid) FROM pg_stat_activity"
                             " WHERE pid <> pg_backend_pid() AND datname = current_database()"
                             " AND query LIKE 'LISTEN%'");
    EXPECT_EQ(every, heard.next());
    EXPECT_EQ(news, heard.next()) << "whatever was missed meanwhile";
    EXPECT_NE(std::string::npos, heard.log_text().find("lost the connection")) << heard.log_text();
    EXPECT_NE(std::string::npos, heard.log_text().find("again")) << heard.log_text();
    b.apply({address("a.tovix.example", "192.0.2.5")}, 5);
    EXPECT_EQ((std::vector<std::string>{"a.tovix.example", kZone}), heard.next());
}

} // namespace
} // namespace tovix::server::test
