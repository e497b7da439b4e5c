// Hosts that follow a router's LAN prefix: the suffix and MAC forms, the
// prefixes an update may carry, and updates as routers send them.
#include "auth/tokens.h"
#include "support.h"
#include "update/dyndns.h"

namespace tovix::server::test {
namespace {

TEST(ServerFollow, SuffixForms) {
    const struct {
        bool mac;
        const char* given;
        std::optional<std::string> suffix;
    } rows[] = {
        {false, "::21e:c2ff:fe12:3456", "::21e:c2ff:fe12:3456"},
        {false, "0:0:0:1::5", "::1:0:0:0:5"},                // a subnet behind a /56
        {false, "0:0:1::5", std::nullopt},                   // inside every /48
        {false, "::1:0:0:0:0", std::nullopt},                // no interface identifier
        {false, "::", std::nullopt},                         //
        {false, "00:1e:c2:12:34:56", std::nullopt},          // a MAC is no suffix
        {true, "00:1e:c2:12:34:56", "::21e:c2ff:fe12:3456"}, // the universal/local bit flipped
        {true, "02-00-5E-10-00-01", "::5eff:fe10:1"},
        {true, "01:00:5e:00:00:01", std::nullopt}, // a group address
        {true, "00:00:00:00:00:00", std::nullopt},
        {true, "00:1e-c2:12:34:56", std::nullopt},
        {true, "00:1e:c2:12:34", std::nullopt},
        {true, "00:1e:c2:12:34:5g", std::nullopt},
    };
    for (const auto& r : rows)
        EXPECT_EQ(r.suffix, r.mac ? mac_suffix(r.given) : parse_suffix(r.given)) << r.given;
}

TEST(ServerFollow, PrefixesAnUpdateMayCarry) {
    const AddressPolicy any, public_only{false, false};
    const struct {
        std::optional<std::string> given;
        AddressPolicy policy;
        std::optional<std::string> prefix; // its text; nothing and not bad: no prefix
        bool bad;
    } rows[] = {
        {"2001:db8:1:2::/64", any, "2001:db8:1:2::/64", false},
        {"2001:DB8:1:2::99/64", any, "2001:db8:1:2::/64", false}, // the address's prefix
        {"2001:db8:1:2::/48", any, "2001:db8:1::/48", false},
        {"fd00:1::/48", any, "fd00:1::/48", false},
        {"fd00:1::/48", public_only, std::nullopt, true},
        {std::nullopt, any, std::nullopt, false},
        {"", any, std::nullopt, false}, // a router without IPv6
        {"2001:db8::/47", any, std::nullopt, true},
        {"2001:db8::/65", any, std::nullopt, true},
        {"2001:db8::", any, std::nullopt, true},
        {"2001:db8::/+64", any, std::nullopt, true},
        {"192.0.2.0/24", any, std::nullopt, true},
        {"fe80::/64", any, std::nullopt, true},
        {"ff02::/64", any, std::nullopt, true},
        {"::/64", any, std::nullopt, true},
    };
    for (const auto& r : rows) {
        bool bad = false;
        const std::optional<Ipv6Prefix> got = parse_lan_prefix(r.given, r.policy, &bad);
        EXPECT_EQ(r.prefix, got ? std::optional(got->text()) : std::nullopt)
            << r.given.value_or("(none)");
        EXPECT_EQ(r.bad, bad) << r.given.value_or("(none)");
    }
}

// A router, cam and nas follow it: cam by its MAC, nas in subnet 1 of a /56.
TEST(ServerFollow, UpdatesMoveTheFollowers) {
    TempDir dir;
    Config config;
    config.accounts = {{"alice", "pw", {"r.example", "cam.example", "nas.example", "x.example"}}};
    config.zones = {"example"};
    config.db_path = dir.file("f.db");
    const auto server = start_server(config);
    Store store(config.db_path, Store::Mode::Existing);
    const Origin o{"", "", false, "operator"};
    ASSERT_EQ(
        FollowResult::Done,
        store.follow({"cam.example", "r.example", *mac_suffix("00:1e:c2:12:34:56")}, "", o, 1));
    ASSERT_EQ(FollowResult::Done,
              store.follow({"nas.example", "r.example", "::1:0:0:0:5"}, "", o, 1));
    const std::string token = make_token();
    ASSERT_TRUE(store.add_token("r.example", token_digest(token), "", 1));
    const std::string a = "2001:db8:aa:bb00:21e:c2ff:fe12:3456",
                      b = "2001:db8:cc:dd00:21e:c2ff:fe12:3456";
    const std::string router = "/nic/update?hostname=r.example&myip=192.0.2.1,2001:db8::1&";
    const struct {
        std::string why, user, password, target, answer, cam, nas;
        bool nas_offline = false;
    } rows[] = {
        {"as a router's URL template sends it", "alice", "pw",
         router + "ipv6prefix=2001:db8:aa:bb00::/56", "good 192.0.2.1,2001:db8::1", a,
         "2001:db8:aa:bb01::5"},
        {"no prefix: the followers stay", "alice", "pw",
         router + "ipv6prefix=", "nochg 192.0.2.1,2001:db8::1", a, "2001:db8:aa:bb01::5"},
        {"the other spelling, the router's token", "r.example", token,
         "/nic/update?myip=192.0.2.1,2001:db8::1&ip6lanprefix=2001:db8:cc:dd00::/56",
         "nochg 192.0.2.1,2001:db8::1", b, "2001:db8:cc:dd01::5"},
        {"a /64 nas's suffix overlaps", "alice", "pw",
         "/nic/update?hostname=r.example,x.example&myip=192.0.2.2&ipv6prefix=2001:db8:ee::/64",
         "dnserr\ndnserr", b, "2001:db8:cc:dd01::5"},
        {"a malformed prefix", "alice", "pw", router + "ipv6prefix=2001:db8:ee::/40", "dnserr", b,
         "2001:db8:cc:dd01::5"},
        {"two spellings that differ", "alice", "pw",
         router + "ipv6prefix=2001:db8:ee::/56&ip6lanprefix=2001:db8:ef::/56", "dnserr", b,
         "2001:db8:cc:dd01::5"},
        {"nas goes offline", "alice", "pw", "/nic/update?hostname=nas.example&offline=YES",
         "good 2001:db8:cc:dd01::5", b, "2001:db8:cc:dd01::5", true},
        {"the router offline takes nobody offline", "alice", "pw",
         router + "offline=YES&ipv6prefix=2001:db8:aa:bb00::/56", "good 192.0.2.1,2001:db8::1", a,
         "2001:db8:aa:bb01::5", true},
    };
    auto stored = [&config](const char* name) {
        return stored_host(config.db_path, name).value_or(Host{});
    };
    for (const auto& r : rows) {
        httplib::Client client("127.0.0.1", server->port());
        const httplib::Result got = client.Get(
            r.target, {{"Authorization", basic(r.user, r.password)}, {"User-Agent", "router/1"}});
        EXPECT_EQ(r.answer, got ? got->body : "<no answer>") << r.why;
        EXPECT_EQ(r.cam, stored("cam.example").ipv6) << r.why;
        EXPECT_EQ(r.nas, stored("nas.example").ipv6) << r.why;
        EXPECT_EQ(r.nas_offline, stored("nas.example").offline) << r.why;
        EXPECT_FALSE(stored("cam.example").offline) << r.why;
        EXPECT_EQ("", stored("x.example").name) << r.why;
        EXPECT_EQ("192.0.2.1", stored("r.example").ipv4) << r.why;
    }
    EXPECT_EQ((std::vector<DnsRecord>{{"cam.example", "AAAA", a, 60, 0}}),
              dns_records(config.db_path, "cam.example"));
    const HistoryEntry moved = store.history("cam.example", 1).at(0);
    EXPECT_EQ("prefix", moved.what);
    EXPECT_EQ("AAAA=" + a, moved.after);
    EXPECT_EQ("prefix from r.example", moved.origin.credential);
}

} // namespace
} // namespace tovix::server::test
