// DnsPurger against a stand-in for PowerDNS's control socket, and the names
// a commit hands it.
#include "committer.h"
#include "support.h"

#include <sys/un.h>

#include <chrono>
#include <mutex>
#include <thread>

namespace tovix::server::test {
namespace {

// Lines written by several threads.
struct Lines {
    std::mutex mutex;
    std::vector<std::string> all;
    void add(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        all.push_back(line);
    }
    std::size_t count(const std::string& part) {
        std::lock_guard<std::mutex> lock(mutex);
        return std::count_if(all.begin(), all.end(),
                             [&](const std::string& l) { return l.find(part) != l.npos; });
    }
};

// Keeps each connection's line and answers "2", as pdns_server answers purge.
class FakeControl {
  public:
    FakeControl(const std::string& path, Lines& lines) : fd_(socket(AF_UNIX, SOCK_STREAM, 0)) {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        path.copy(a.sun_path, sizeof a.sun_path - 1);
        EXPECT_EQ(0, bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a));
        EXPECT_EQ(0, listen(fd_, 8));
        thread_ = std::thread([this, &lines] {
            for (int c; (c = accept(fd_, nullptr, nullptr)) >= 0; close(c)) {
                std::string line;
                for (char ch; line.find('\n') == line.npos && read(c, &ch, 1) == 1;)
                    line += ch;
                lines.add(line);
                EXPECT_EQ(1, write(c, "2", 1));
            }
        });
    }
    ~FakeControl() {
        shutdown(fd_, SHUT_RDWR);
        thread_.join();
        close(fd_);
    }

  private:
    int fd_;
    std::thread thread_;
};

// Polls `done` for at most five seconds.
template <typename Done> bool eventually(Done done) {
    for (int i = 0; i < 500 && !done(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}

TEST(DnsPurge, PurgeableNames) {
    for (const char* name : {"a.example$", "dyn.example", "*.a.example", "x-1.a.example"})
        EXPECT_TRUE(purgeable(name)) << name;
    for (const char* name : {"", "$", "a..example$", ".a.example", "A.example", "a example",
                             "a.example$$", "a\n.example", "a.example.", "a$.example"})
        EXPECT_FALSE(purgeable(name)) << name;
    EXPECT_FALSE(purgeable(std::string(64, 'a') + ".example"));
}

TEST(DnsPurge, NamesOfACommit) {
    std::vector<Update> updates(4);
    for (std::size_t i = 0; i < updates.size(); ++i) {
        updates[i].host =
            std::string(1, char('a' + i)) + (i < 3 ? ".dyn.example" : ".other.example");
        updates[i].zone = i < 3 ? "dyn.example" : "other.example";
    }
    // Changed, no longer owned, unchanged, changed.
    const std::vector<Applied> applied = {
        {true, true, {}, {}}, {false, false, {}, {}}, {true, false, {}, {}}, {true, true, {}, {}}};
    EXPECT_EQ((std::vector<std::string>{"a.dyn.example$", "d.other.example$", "dyn.example",
                                        "other.example"}),
              purge_names(updates, applied));
}

// PowerDNS down at first: logged once, names kept and sent together once it
// is up; a name that is no host name never reaches the socket.
TEST(DnsPurge, RetriesUntilPowerDnsAnswers) {
    TempDir dir;
    const std::string path = dir.file("pdns.controlsocket");
    Lines log, sent;
    PurgePolicy policy;
    policy.first_retry = policy.last_retry = std::chrono::milliseconds(10);
    DnsPurger purger(
        {path}, [&log](const std::string& line) { log.add(line); }, policy);
    purger.purge({"a.example$", "a..example$"});
    ASSERT_TRUE(
        eventually([&] { return log.count("cannot purge PowerDNS's cache through " + path); }));
    purger.purge({"example", "a.example$"});
    FakeControl pdns(path, sent);
    ASSERT_TRUE(eventually([&] { return log.count("through " + path + " again"); }));
    EXPECT_EQ(std::vector<std::string>{"purge a.example$ example\n"}, sent.all);
    EXPECT_EQ(1u, log.count("cannot purge"));
    EXPECT_EQ(1u, log.count("'a..example$' is no host name"));
}

} // namespace
} // namespace tovix::server::test
