// The dyndns2 request rules and the records a host publishes, without HTTP
// and without a database.
#include "dns/zone.h"
#include "update/dyndns.h"

#include <gtest/gtest.h>

namespace tovix::server::test {
namespace {

// --- myip ---------------------------------------------------------------------

struct MyipCase {
    const char* name;
    std::string myip;
    std::string stored; // Addresses::text() of what the update stores; "dnserr": nothing
    AddressPolicy policy = {};
    std::string caller = "198.51.100.9";
};

class MyipTest : public ::testing::TestWithParam<MyipCase> {};

TEST_P(MyipTest, StoresProperAddressesOrTheCallers) {
    const MyipCase& c = GetParam();
    const std::optional<Addresses> stored = update_addresses(c.myip, c.caller, c.policy);
    EXPECT_EQ(c.stored, stored ? stored->text() : "dnserr");
}

const AddressPolicy kLoopbackServer{true, true};
const AddressPolicy kPublicOnly{false, false};

INSTANTIATE_TEST_SUITE_P(
    Server, MyipTest,
    ::testing::Values(MyipCase{"Ipv4", "192.0.2.1", "192.0.2.1"},
                      MyipCase{"Ipv6Canonical", "2001:DB8:0::1", "2001:db8::1"},
                      MyipCase{"Ipv4MappedIsIpv4", "::ffff:192.0.2.3", "192.0.2.3"},
                      MyipCase{"Pair", "192.0.2.1,2001:db8::1", "192.0.2.1,2001:db8::1"},
                      MyipCase{"PairIpv6First", "2001:db8::1,192.0.2.1", "192.0.2.1,2001:db8::1"},
                      MyipCase{"PairWithImproperHalf", "0.0.0.0,2001:db8::1", "2001:db8::1"},
                      MyipCase{"Empty", "", "198.51.100.9"},
                      MyipCase{"Malformed", "192.0.2", "198.51.100.9"},
                      MyipCase{"Unspecified4", "0.0.0.0", "198.51.100.9"},
                      MyipCase{"ThisNetwork", "0.1.2.3", "198.51.100.9"},
                      MyipCase{"Broadcast", "255.255.255.255", "198.51.100.9"},
                      MyipCase{"Reserved", "240.0.0.1", "198.51.100.9"},
                      MyipCase{"Multicast4", "224.0.0.1", "198.51.100.9"},
                      MyipCase{"Unspecified6", "::", "198.51.100.9"},
                      MyipCase{"Multicast6", "ff02::1", "198.51.100.9"},
                      MyipCase{"TwoIpv4", "192.0.2.1,192.0.2.2", "198.51.100.9"},
                      MyipCase{"ThreeEntries", "192.0.2.1,2001:db8::1,192.0.2.2", "198.51.100.9"},
                      MyipCase{"TrailingComma", "192.0.2.1,", "192.0.2.1"},
                      MyipCase{"Blank", " 192.0.2.1", "198.51.100.9"},
                      MyipCase{"LinkLocal4", "169.254.1.1", "198.51.100.9"},
                      MyipCase{"LinkLocal6", "fe80::1", "198.51.100.9"},
                      MyipCase{"ScopeId", "fe80::1%eth0", "198.51.100.9"},
                      MyipCase{"Loopback", "127.0.0.2", "198.51.100.9"},
                      MyipCase{"LoopbackOnALoopbackServer", "::1", "::1", kLoopbackServer},
                      MyipCase{"Private", "10.1.2.3", "10.1.2.3"},
                      MyipCase{"PrivateWhenPublicOnly", "192.168.1.2", "198.51.100.9", kPublicOnly},
                      MyipCase{"UniqueLocalWhenPublicOnly", "fd00::1", "198.51.100.9", kPublicOnly},
                      MyipCase{"SharedWhenPublicOnly", "100.64.0.1", "198.51.100.9", kPublicOnly},
                      MyipCase{"CallerUnpublishable", "", "dnserr", {}, "127.0.0.1"},
                      MyipCase{"CallerPrivateWhenPublicOnly", "", "dnserr", kPublicOnly,
                               "10.0.0.1"}),
    [](const ::testing::TestParamInfo<MyipCase>& info) { return info.param.name; });

TEST(ServerDyndns, CallerOfEitherFamily) {
    EXPECT_EQ("2001:db8::9", update_addresses(std::nullopt, "2001:db8::9")->ipv6.value_or("-"));
    EXPECT_FALSE(update_addresses(std::nullopt, "2001:db8::9")->ipv4);
}

TEST(ServerDyndns, Switches) {
    EXPECT_EQ(std::optional<bool>(true), parse_switch("on", "ON", "OFF"));
    EXPECT_EQ(std::optional<bool>(false), parse_switch("Off", "ON", "OFF"));
    EXPECT_EQ(std::nullopt, parse_switch("NOCHG", "ON", "OFF"));
    EXPECT_EQ(std::nullopt, parse_switch("maybe", "ON", "OFF"));
    EXPECT_EQ(std::nullopt, parse_switch(std::nullopt, "YES", "NO"));
    bool bad = true;
    EXPECT_EQ(std::optional<std::string>("mail.example"), parse_mx("Mail.Example.", &bad));
    EXPECT_EQ(std::optional<std::string>(""), parse_mx("", &bad));
    EXPECT_EQ(std::nullopt, parse_mx("nochg", &bad));
    EXPECT_FALSE(bad);
    EXPECT_EQ(std::nullopt, parse_mx("no_host", &bad));
    EXPECT_TRUE(bad) << "a malformed mx is refused, not ignored";
}

// --- what a host publishes ------------------------------------------------------

struct RecordsCase {
    const char* name;
    Host host;
    std::vector<DnsRecord> records;
};

Host host(const std::string& v4, const std::string& v6, bool wildcard, const std::string& mx,
          bool backmx, bool offline) {
    Host h;
    h.name = "h.dyn.example";
    h.ipv4 = v4;
    h.ipv6 = v6;
    h.wildcard = wildcard;
    h.mx = mx;
    h.backmx = backmx;
    h.offline = offline;
    return h;
}

const std::string kH = "h.dyn.example";
const std::string kStar = "*.h.dyn.example";

class RecordsTest : public ::testing::TestWithParam<RecordsCase> {};

TEST_P(RecordsTest, Publishes) {
    EXPECT_EQ(GetParam().records, host_records(GetParam().host, 60));
}

INSTANTIATE_TEST_SUITE_P(
    Server, RecordsTest,
    ::testing::Values(
        RecordsCase{"Ipv4",
                    host("192.0.2.1", "", false, "", false, false),
                    {{kH, "A", "192.0.2.1", 60, 0}}},
        RecordsCase{"Both",
                    host("192.0.2.1", "2001:db8::1", false, "", false, false),
                    {{kH, "A", "192.0.2.1", 60, 0}, {kH, "AAAA", "2001:db8::1", 60, 0}}},
        RecordsCase{"Wildcard",
                    host("192.0.2.1", "2001:db8::1", true, "", false, false),
                    {{kStar, "A", "192.0.2.1", 60, 0},
                     {kStar, "AAAA", "2001:db8::1", 60, 0},
                     {kH, "A", "192.0.2.1", 60, 0},
                     {kH, "AAAA", "2001:db8::1", 60, 0}}},
        RecordsCase{"Mx",
                    host("192.0.2.1", "", false, "mx.example", false, false),
                    {{kH, "A", "192.0.2.1", 60, 0}, {kH, "MX", "mx.example", 60, 10}}},
        RecordsCase{"BackupMx",
                    host("192.0.2.1", "", false, "mx.example", true, false),
                    {{kH, "A", "192.0.2.1", 60, 0},
                     {kH, "MX", kH, 60, 10},
                     {kH, "MX", "mx.example", 60, 20}}},
        RecordsCase{"BackupMxToItself",
                    host("192.0.2.1", "", false, kH, true, false),
                    {{kH, "A", "192.0.2.1", 60, 0}, {kH, "MX", kH, 60, 10}}},
        RecordsCase{"BackmxWithoutMx",
                    host("192.0.2.1", "", false, "", true, false),
                    {{kH, "A", "192.0.2.1", 60, 0}}},
        RecordsCase{"OfflineKeepsMail",
                    host("192.0.2.1", "", true, "mx.example", false, true),
                    {{kH, "MX", "mx.example", 60, 10}}},
        RecordsCase{"Nothing", host("", "", true, "", false, false), {}}),
    [](const ::testing::TestParamInfo<RecordsCase>& info) { return info.param.name; });

TEST(ServerZone, LongestZoneHoldingTheHost) {
    const std::vector<std::string> zones{"example.org", "dyn.example.org", "tovix.example"};
    EXPECT_EQ(std::optional<std::string>("dyn.example.org"), zone_for("a.dyn.example.org", zones));
    EXPECT_EQ(std::optional<std::string>("example.org"), zone_for("a.xdyn.example.org", zones));
    EXPECT_EQ(std::optional<std::string>("tovix.example"), zone_for("tovix.example", zones));
    EXPECT_EQ(std::nullopt, zone_for("atovix.example", zones));
    EXPECT_EQ(std::nullopt, zone_for("example", zones));
}

TEST(ServerZone, SerialSteps) {
    EXPECT_EQ(std::optional<std::string>("ns1.z hostmaster.z 8 10800 3600 604800 60"),
              next_serial("ns1.z hostmaster.z 7 10800 3600 604800 60"));
    EXPECT_EQ(std::optional<std::string>("a b 1 1 1 1 1"), next_serial("a b 4294967295 1 1 1 1"));
    EXPECT_EQ(std::nullopt, next_serial("a b 4294967296 1 1 1 1"));
    EXPECT_EQ(std::nullopt, next_serial("a b x1 1 1 1 1"));
    EXPECT_EQ(std::nullopt, next_serial("a b 1 1 1 1"));
}

} // namespace
} // namespace tovix::server::test
