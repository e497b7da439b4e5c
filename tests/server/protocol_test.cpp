// Parsing and formatting pieces of tovix-server, and its command line.
#include "auth/credentials.h"
#include "base/address.h"
#include "base/strings.h"
#include "commands/commands.h"
#include "dns/names.h"
#include "ops/request_log.h"
#include "store/store.h"
#include "support.h"
#include "update/dyndns.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <regex>
#include <sstream>

namespace tovix::server::test {
namespace {

struct NameCase {
    std::string name;
    bool fqdn;
};

class FqdnTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(FqdnTest, Classifies) {
    EXPECT_EQ(GetParam().fqdn, is_fqdn(GetParam().name));
}

INSTANTIATE_TEST_SUITE_P(
    Server, FqdnTest,
    ::testing::Values(NameCase{"home.example", true}, NameCase{"a.b", true},
                      NameCase{"x-1.y2.example", true}, NameCase{"0.example", true},
                      NameCase{std::string(63, 'a') + ".example", true},
                      NameCase{std::string(63, 'a') + "." + std::string(63, 'b') + "." +
                                   std::string(63, 'c') + "." + std::string(61, 'd'),
                               true}, // 253 characters
                      NameCase{std::string(63, 'a') + "." + std::string(63, 'b') + "." +
                                   std::string(63, 'c') + "." + std::string(62, 'd'),
                               false}, // 254 characters
                      NameCase{std::string(64, 'a') + ".example", false}, NameCase{"", false},
                      NameCase{"example", false}, NameCase{".example", false},
                      NameCase{"home.example.", false}, NameCase{"home..example", false},
                      NameCase{"-home.example", false}, NameCase{"home-.example", false},
                      NameCase{"ho_me.example", false}, NameCase{"ho me.example", false},
                      NameCase{"h\xc3\xa9.example", false}));

TEST(ServerProtocol, NormalizeHostLowercasesTrimsAndDropsTrailingDot) {
    EXPECT_EQ("home.example", normalize_host(" Home.EXAMPLE. "));
    EXPECT_EQ("", normalize_host("."));
}

struct IpCase {
    std::string text;
    std::optional<std::string> canonical;
};

class IpTest : public ::testing::TestWithParam<IpCase> {};

TEST_P(IpTest, Canonicalizes) {
    EXPECT_EQ(GetParam().canonical, canonical_ip(GetParam().text));
}

INSTANTIATE_TEST_SUITE_P(
    Server, IpTest,
    ::testing::Values(IpCase{"192.0.2.1", "192.0.2.1"}, IpCase{"0.0.0.0", "0.0.0.0"},
                      IpCase{"2001:DB8::0:1", "2001:db8::1"}, IpCase{"::1", "::1"},
                      IpCase{"::ffff:192.0.2.1", "192.0.2.1"}, IpCase{"", std::nullopt},
                      IpCase{"256.1.1.1", std::nullopt}, IpCase{"1.2.3", std::nullopt},
                      IpCase{"1.2.3.4.5", std::nullopt}, IpCase{" 1.2.3.4", std::nullopt},
                      IpCase{"home.example", std::nullopt}, IpCase{"2001:db8::g", std::nullopt},
                      IpCase{"fe80::1%eth0", std::nullopt},
                      IpCase{std::string(100, '1'), std::nullopt}));

struct AuthCase {
    std::string header;
    std::optional<std::string> user;
    std::string password;
};

class BasicAuthTest : public ::testing::TestWithParam<AuthCase> {};

TEST_P(BasicAuthTest, Parses) {
    const AuthCase& c = GetParam();
    std::optional<Credentials> parsed = parse_basic_auth(c.header);
    ASSERT_EQ(c.user.has_value(), parsed.has_value());
    if (parsed) {
        EXPECT_EQ(*c.user, parsed->user);
        EXPECT_EQ(c.password, parsed->password);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Server, BasicAuthTest,
    ::testing::Values(AuthCase{"Basic " + base64("tovix:KoReL52"), "tovix", "KoReL52"},
                      AuthCase{"basic  " + base64("u:p:q"), "u", "p:q"},
                      AuthCase{"Basic " + base64(":"), "", ""},
                      AuthCase{"Basic " + base64("ab:c"), "ab", "c"},     // one padding character
                      AuthCase{"Basic " + base64("a:c"), "a", "c"},       // none
                      AuthCase{"Basic " + base64("abcd:e"), "abcd", "e"}, // two
                      AuthCase{"Basic " + base64("nocolon"), std::nullopt, ""},
                      AuthCase{"Basic", std::nullopt, ""}, AuthCase{"", std::nullopt, ""},
                      AuthCase{"Digest " + base64("u:p"), std::nullopt, ""},
                      AuthCase{"Basic dTpw=", std::nullopt, ""},
                      AuthCase{"Basic dT=w", std::nullopt, ""},
                      AuthCase{"Basic dTp*", std::nullopt, ""}));

TEST(ServerProtocol, EscapeFieldKeepsOneLine) {
    EXPECT_EQ("a\\tb\\nc\\rd\\\\e\\x01f\\x7f", escape_field("a\tb\nc\rd\\e\x01"
                                                            "f\x7f"));
    EXPECT_EQ("Mozilla/4.0 (compatible)", escape_field("Mozilla/4.0 (compatible)"));
}

TEST(ServerProtocol, RedactTargetHidesPasswordLikeValues) {
    EXPECT_EQ("/nic/update?hostname=a.b&Password=***&pwd=***&myip=1.2.3.4",
              redact_target("/nic/update?hostname=a.b&Password=x&pwd=y&myip=1.2.3.4"));
    EXPECT_EQ("/nic/update", redact_target("/nic/update"));
    EXPECT_EQ("/u?%70assword=***&pass%77ord=***&x=%70",
              redact_target("/u?%70assword=a&pass%77ord=b&x=%70"))
        << "a percent-encoded key is still the key";
    EXPECT_EQ(kMaxLoggedTarget, redact_target("/u?x=" + std::string(5000, 'a')).size());
}

// Under a flood of refused requests the log keeps its pace: their lines
// are limited, what was left out is counted, and a good line always goes.
TEST(ServerProtocol, RequestLogLimitsRefusedLines) {
    TempDir dir;
    const std::string path = dir.file("requests.log");
    {
        RequestLog log({false, path, 0, 10000, 5, 0});
        RequestEntry refused, good;
        refused.status = 401;
        good.status = 200;
        for (int i = 0; i < 100; ++i)
            log.write(refused);
        log.write(good);
    }
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    ASSERT_EQ(7u, lines.size()); // 5 refused, the count, the good one
    EXPECT_NE(std::string::npos, lines[5].find("\t95 refused requests not logged")) << lines[5];
    EXPECT_NE(std::string::npos, lines[6].find("\t200\t")) << lines[6];
    struct stat st {};
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777u);
}

std::vector<std::string> lines_of(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Lines of requests without valid credentials are limited per source:
// one flooding source is cut, another and the authenticated are not.
TEST(ServerProtocol, RequestLogLimitsEachSourceWithoutCredentials) {
    TempDir dir;
    const std::string path = dir.file("requests.log");
    {
        RequestLog::Options o;
        o.to_stderr = false;
        o.path = path;
        o.source_burst = 3;
        o.source_per_second = 0;
        RequestLog log(o);
        RequestEntry flood, other, signed_in;
        flood.remote_addr = "2001:db8::1";
        flood.status = signed_in.status = other.status = 200;
        other.remote_addr = "192.0.2.7";
        signed_in.remote_addr = "2001:db8::2"; // the same /64 as the flood
        signed_in.authenticated = true;
        for (int i = 0; i < 50; ++i) {
            flood.user_agent = std::string(12000, 'u'); // every field cut
            log.write(flood);
        }
        log.write(other);
        log.write(signed_in);
    }
    const std::vector<std::string> lines = lines_of(path);
    ASSERT_EQ(6u, lines.size()); // 3 of the flood, the count, the other, the signed-in
    EXPECT_NE(std::string::npos, lines[3].find("\t47 requests without credentials not logged"))
        << lines[3];
    EXPECT_NE(std::string::npos, lines[4].find("192.0.2.7")) << lines[4];
    EXPECT_NE(std::string::npos, lines[5].find("[2001:db8::2]")) << lines[5];
    for (const std::string& line : lines)
        EXPECT_LT(line.size(), 600u) << line.substr(0, 80);
}

// Standard error and the file get the same lines, whole and in order,
// also when a batch is longer than one write.
TEST(ServerProtocol, RequestLogWritesWholeLinesToBoth) {
    TempDir dir;
    const std::string path = dir.file("requests.log");
    testing::internal::CaptureStderr();
    {
        RequestLog::Options o;
        o.path = path;
        RequestLog log(o);
        RequestEntry e;
        e.status = 200;
        e.authenticated = true;
        for (int i = 0; i < 600; ++i) { // about 200 KiB
            e.user = "u" + std::to_string(i);
            e.user_agent = std::string(300, 'a');
            log.write(e);
        }
    }
    const std::string err = testing::internal::GetCapturedStderr();
    std::ifstream in(path);
    const std::string file{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(file, err);
    const std::vector<std::string> lines = lines_of(path);
    ASSERT_EQ(600u, lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i)
        ASSERT_NE(std::string::npos, lines[i].find("\tu" + std::to_string(i) + "\t"))
            << i << ": " << lines[i].substr(0, 80);
}

TEST(ServerProtocol, LogFieldIsCutOutsideEscapes) {
    struct Row {
        std::string text;
        std::size_t size; // of the field
        std::string end;
    } rows[] = {
        {std::string(300, 'a'), kMaxLoggedField, "aaa"},
        {std::string(255, 'a') + "\tb", kMaxLoggedField - 1, "aaa"}, // "\t" would not fit
        {std::string(254, 'a') + "\x01", kMaxLoggedField - 2, "aaa"},
        {std::string(100, '\x01'), 64 * 4, "\\x01"},
        {"short\tone", 10, "\\tone"},
    };
    for (const Row& r : rows) {
        const std::string f = log_field(r.text);
        EXPECT_EQ(r.size, f.size()) << r.text.substr(250);
        EXPECT_EQ(r.end, f.substr(f.size() - r.end.size())) << f.substr(f.size() - 8);
    }
}

TEST(ServerProtocol, Utf8PrefixKeepsWellFormedTextAndCutsBetweenCharacters) {
    const struct {
        std::string text;
        std::size_t max;
        std::string want;
    } rows[] = {
        {"curl/8.0", 255, "curl/8.0"},
        {"\u00e9t\u00e9 \u6d4b\u8bd5 \U0001F600", 255, "\u00e9t\u00e9 \u6d4b\u8bd5 \U0001F600"},
        {"ab\u00e9", 3, "ab"},  // not half of the two-byte character
        {"\U0001F600x", 3, ""}, // nor of the four-byte one
        {"a\xff"
         "b\xfe",
         255, "a?b?"},                     // bytes that start nothing
        {"a\xc3", 255, "a?"},              // cut short at the end
        {"\xc0\xaf", 255, "??"},           // an overlong '/'
        {"\xed\xa0\x80", 255, "???"},      // a surrogate
        {"\xf4\x90\x80\x80", 255, "????"}, // past U+10FFFF
        {std::string("a\0b", 3), 255, "a?b"},
        {"abc\xff", 3, "abc"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(r.want, utf8_prefix(r.text, r.max)) << r.text;
}

TEST(ServerProtocol, FormatUtc) {
    EXPECT_EQ("1970-01-01T00:00:00Z", format_utc(0));
    EXPECT_EQ("2024-02-29T23:59:59Z", format_utc(1709251199));
}

// --- command line --------------------------------------------------------------

std::optional<Options> parse(std::vector<std::string> args, std::string* error = nullptr) {
    std::string ignored;
    return parse_command_line(args, error ? error : &ignored);
}

TEST(ServerCommandLine, Defaults) {
    std::optional<Options> o = parse({});
    ASSERT_TRUE(o);
    EXPECT_EQ(Options::Command::Serve, o->command);
    EXPECT_EQ("127.0.0.1", o->listen.host);
    EXPECT_EQ(80, o->listen.port);
    EXPECT_EQ("tovix-server.db", o->config.db_path);
    EXPECT_TRUE(o->config.accounts.empty());
    EXPECT_TRUE(o->config.log_path.empty());
    EXPECT_TRUE(o->config.zones.empty());
    EXPECT_EQ(kDefaultTtl, o->config.ttl);
    EXPECT_EQ(TrustedProxies::Header::XForwardedFor, o->config.proxies.header());
    EXPECT_EQ(TrustedProxies::Header::Forwarded,
              parse({"--proxy-header", "Forwarded"}).value().config.proxies.header());
}

TEST(ServerCommandLine, AllOptions) {
    std::optional<Options> o = parse(
        {"--listen", "[::1]:8080", "--db=/tmp/x.db", "--listen-tls", "0.0.0.0", "--tls-cert",
         "c.pem", "--tls-key=k.pem", "--trusted-proxy", "10.0.0.0/8", "--log-requests", "/tmp/log",
         "--zone", "Dyn.Example.", "--zone=b.example", "--ttl", "300", "--no-default-account"});
    ASSERT_TRUE(o);
    EXPECT_EQ("::1", o->listen.host);
    EXPECT_EQ(8080, o->listen.port);
    ASSERT_TRUE(o->listen_tls);
    EXPECT_EQ("0.0.0.0", o->listen_tls->host);
    EXPECT_EQ(443, o->listen_tls->port) << "the HTTPS port by default";
    EXPECT_EQ("c.pem", o->tls_cert_file);
    EXPECT_EQ("k.pem", o->tls_key_file);
    EXPECT_TRUE(o->config.proxies.contains("10.1.2.3"));
    EXPECT_EQ("/tmp/x.db", o->config.db_path);
    EXPECT_EQ("/tmp/log", o->config.log_path);
    EXPECT_FALSE(o->config.default_account);
    EXPECT_TRUE(o->config.accounts.empty());
    EXPECT_EQ((std::vector<std::string>{"dyn.example", "b.example"}), o->config.zones);
    EXPECT_EQ(300, o->config.ttl);
}

TEST(ServerCommandLine, ListAccountAndHelp) {
    std::optional<Options> o = parse({"list", "--db", "r.db"});
    ASSERT_TRUE(o);
    EXPECT_EQ(Options::Command::List, o->command);
    EXPECT_EQ("r.db", o->config.db_path);
    o = parse({"account", "add", "alice", "a.example", "b.example", "--db", "r.db"});
    ASSERT_TRUE(o);
    EXPECT_EQ(Options::Command::Account, o->command);
    EXPECT_EQ((std::vector<std::string>{"add", "alice", "a.example", "b.example"}), o->words);
    EXPECT_EQ("r.db", o->config.db_path);
    EXPECT_EQ(Options::Command::Help, parse({"--help"})->command);
    EXPECT_TRUE(parse({"account", "add", "a", "a.example", "--admin"})->admin);
    o = parse({"--no-web", "--web-allow-http"});
    EXPECT_FALSE(o->config.web);
    EXPECT_TRUE(o->config.web_allow_http);
}

class BadCommandLineTest : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(BadCommandLineTest, IsRejectedWithAMessage) {
    std::string error;
    EXPECT_FALSE(parse(GetParam(), &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(std::string::npos, error.find("sekrit")) << error;
}

using Args = std::vector<std::string>;
INSTANTIATE_TEST_SUITE_P(
    Server, BadCommandLineTest,
    ::testing::Values(Args{"--bogus"}, Args{"extra"}, Args{"--db"}, Args{"--db="},
                      Args{"--listen", "localhost"}, Args{"--listen", "127.0.0.1:65536"},
                      Args{"--listen", "[::1]80"}, Args{"--account", "u:sekrit:a.example"},
                      Args{"--tls-cert", "c.pem"}, Args{"--listen-tls", "0.0.0.0:8443"},
                      Args{"--trusted-proxy", "10.0.0.0/33"}, Args{"--zone", "example"},
                      Args{"--zone", "a..example"}, Args{"--ttl", "0"}, Args{"--ttl", "86401"},
                      Args{"--ttl", "60s"}, Args{"list", "--zone", "a.example"},
                      Args{"list", "--listen", "127.0.0.1:80"}, Args{"account"},
                      Args{"account", "add", "alice"}, Args{"account", "passwd", "a", "sekrit"},
                      Args{"account", "frob", "alice"}, Args{"--help=yes"},
                      Args{"--proxy-header", "x-real-ip"}, Args{"account", "admin", "a", "yes"},
                      Args{"account", "admin", "a"}, Args{"account", "passwd", "a", "--admin"},
                      Args{"list", "--no-web"}));

// --- store and its listing ---------------------------------------------------------

Update update(const std::string& host, const std::string& account) {
    Update u;
    u.host = host;
    u.account = account;
    u.zone = "zone.example";
    return u;
}

TEST(ServerStore, ListingHasAHeaderAndOneLinePerHost) {
    TempDir dir;
    {
        Store store(dir.file("r.db"), Store::Mode::Create, {{"zone.example"}, kDefaultTtl});
        own(store, "alice", {"a.zone.example"});
        own(store, "bob", {"b.zone.example"});
        Update b = update("b.zone.example", "bob");
        b.ipv6 = "2001:db8::1";
        Update a = update("a.zone.example", "alice");
        a.ipv4 = "192.0.2.1";
        a.wildcard = true;
        a.mx = "mx.example";
        a.backmx = true;
        a.offline = true;
        EXPECT_EQ((std::vector<bool>{true, true}), changed(store.apply({b, a}, 1709251199)));
        // Updated is the time of the last change: a repeat leaves it.
        EXPECT_EQ((std::vector<bool>{false}), changed(store.apply({a}, 1709251200)));
    }
    std::ostringstream out, err;
    EXPECT_EQ(0, list_hosts(dir.file("r.db"), out, err));
    EXPECT_EQ("host\taccount\tipv4\tipv6\twildcard\tmx\tbackmx\toffline\tupdated\tlast seen"
              "\tfaults\n"
              "a.zone.example\talice\t192.0.2.1\t-\tON\tmx.example\tYES\tYES\t"
              "2024-02-29T23:59:59Z\t-\t-\n"
              "b.zone.example\tbob\t-\t2001:db8::1\tOFF\t-\tNO\tNO\t2024-02-29T23:59:59Z\t-\t-\n",
              out.str());
    EXPECT_EQ("", err.str());
}

TEST(ServerStore, ListingAMissingDatabaseFails) {
    TempDir dir;
    std::ostringstream out, err;
    EXPECT_EQ(1, list_hosts(dir.file("missing.db"), out, err));
    EXPECT_NE(std::string::npos, err.str().find("missing.db"));
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing.db")));
}

} // namespace
} // namespace tovix::server::test
