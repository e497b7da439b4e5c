// The zone commands' command line, the settings they hand pdnsutil, and the
// notifications servers on one PostgreSQL database tell each other.
#include "commands/commands.h"
#include "commands/zone.h"
#include "store/changes.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace tovix::server;

namespace {

using Args = std::vector<std::string>;

TEST(ZoneCommandLine, GoodAndBad) {
    struct Row {
        Args args;
        bool ok;
        Args zone;
        bool dnssec, requested;
    };
    const Row rows[] = {
        {{"zone", "add", "Z.Example", "--dnssec", "--db", "d"},
         true,
         {"add", "Z.Example"},
         true,
         false},
        {{"zone", "secure", "--requested", "--pdnsutil=/x"}, true, {"secure"}, false, true},
        {{"zone", "ds", "z.example", "--pdns-control", "s"},
         true,
         {"ds", "z.example"},
         false,
         false},
        {{"account", "remove", "u", "--pdns-control", "s"}, true, {}, false, false},
        {{"zone", "secure", "z.example", "--requested"}, false, {}, false, false},
        {{"zone", "secure"}, false, {}, false, false},
        {{"zone", "ds", "z.example", "--dnssec"}, false, {}, false, false},
        {{"zone", "add", "example"}, false, {}, false, false},
        {{"zone", "add", "a.example", "b.example"}, false, {}, false, false},
        {{"zone", "frob", "a.example"}, false, {}, false, false},
        {{"zone", "add", "a.example", "--listen", "127.0.0.1:80"}, false, {}, false, false},
        {{"list", "--pdns-control", "s"}, false, {}, false, false},
        {{"--dnssec"}, false, {}, false, false},
        {{"--pdnsutil", "/x"}, false, {}, false, false},
    };
    for (const Row& r : rows) {
        std::string error;
        const std::optional<Options> o = parse_command_line(r.args, &error);
        ASSERT_EQ(r.ok, o.has_value()) << r.args[0] << " " << r.args[1] << ": " << error;
        if (!o || r.args[0] != "zone")
            continue;
        EXPECT_EQ(r.zone, o->words);
        EXPECT_EQ(r.dnssec, o->dnssec);
        EXPECT_EQ(r.requested, o->requested);
    }
    EXPECT_EQ("/x", parse_command_line(rows[1].args, nullptr)->pdnsutil);
}

TEST(ZoneAdmin, PdnsutilSettings) {
    const std::string pg =
        pdnsutil_config("postgresql://tovix:pw@db.example:5433/dns?sslmode=require");
    for (const char* line :
         {"launch=gpgsql\n", "gpgsql-dnssec=yes\n", "gpgsql-host=db.example\n",
          "gpgsql-port=5433\n", "gpgsql-dbname=dns\n", "gpgsql-user=tovix\n",
          "gpgsql-password=pw\n", "gpgsql-extra-connection-parameters=sslmode='require'\n",
          "default-ksk-algorithm=ecdsa256\n", "default-zsk-algorithm=\n"})
        EXPECT_NE(std::string::npos, pg.find(line)) << line << " in\n" << pg;
    // A line break would smuggle a setting in.
    EXPECT_THROW(pdnsutil_config("postgresql://tovix@h/dns?password=a%0Alaunch=bind"),
                 std::invalid_argument);
    EXPECT_THROW(pdnsutil_config("/nonexistent/dir/x.db"), std::invalid_argument);
    const std::vector<Args> signing{{"set-nsec3", "z.example", "1 0 0 -", "narrow"},
                                    {"secure-zone", "z.example"},
                                    {"rectify-zone", "z.example"}};
    EXPECT_EQ(signing, signing_commands("z.example", false)) << "NSEC3 narrow before any key";
    EXPECT_EQ((std::vector<Args>{signing[0], signing[2]}), signing_commands("z.example", true));
}

TEST(ZoneAdmin, ChangePayloads) {
    std::vector<std::string> names;
    for (int i = 0; i < 2000; ++i)
        names.push_back("host-" + std::to_string(i) + ".dyn.example$");
    const std::vector<std::string> payloads = change_payloads("abc", names);
    ASSERT_GT(payloads.size(), 1u);
    std::vector<std::string> back;
    for (const std::string& p : payloads) {
        EXPECT_LT(p.size(), 8000u);
        std::string origin;
        std::vector<std::string> some;
        ASSERT_TRUE(parse_change_payload(p, &origin, &some)) << p.substr(0, 40);
        EXPECT_EQ("abc", origin);
        back.insert(back.end(), some.begin(), some.end());
    }
    EXPECT_EQ(names, back);
    std::string origin;
    for (const char* bad : {"", "abc", "abc ", " a.example", "abc a.example  b.example"})
        EXPECT_FALSE(parse_change_payload(bad, &origin, &back)) << "'" << bad << "'";
    EXPECT_NE(new_origin(), new_origin());
}

} // namespace
