// The host driver: its table falls back to the headless driver, the host
// calls go through the table in use, and the fault table fails a call once.
#include <gtest/gtest.h>

#include "driver/driver.h"

#include <arpa/inet.h>
#include <cstring>
#include <map>
#include <netinet/in.h>
#include <thread>

namespace {

std::map<std::string, std::string> g_environment;

const char* FakeEnvironment(const char* name) {
    auto it = g_environment.find(name);
    return it == g_environment.end() ? nullptr : it->second.c_str();
}

class DriverTable : public ::testing::Test {
  protected:
    void SetUp() override {
        g_environment.clear();
        tovix::Driver fake = {};
        fake.getEnvironment = FakeEnvironment;
        tovix::UseDriver(fake);
    }
    void TearDown() override { tovix::UseDriver(tovix::NullDriver()); }
};

TEST_F(DriverTable, EntriesLeftNullAreTheHeadlessDriversOwn) {
    const tovix::Driver& in = tovix::HostDriver();
    EXPECT_STREQ(in.name, "null");
    EXPECT_EQ(in.getEnvironment, &FakeEnvironment);
    EXPECT_EQ(in.createDisplay, tovix::NullDriver().createDisplay);
    EXPECT_EQ(in.runProgram, tovix::NullDriver().runProgram);
    EXPECT_EQ(in.now, tovix::NullDriver().now);
}

struct LocaleRow {
    std::map<std::string, std::string> environment;
    bool chinese;
    const char* why;
};

const LocaleRow kLocaleRows[] = {
    {{}, false, "nothing set is English"},
    {{{"LANG", "zh_CN.UTF-8"}}, true, "LANG alone"},
    {{{"LANG", "zh_CN.UTF-8"}, {"LC_MESSAGES", "en_US.UTF-8"}}, false, "LC_MESSAGES before LANG"},
    {{{"LC_ALL", "zh_TW"}, {"LC_MESSAGES", "C"}}, true, "LC_ALL before everything"},
    {{{"LC_ALL", ""}, {"LANG", "zh"}}, true, "an empty variable counts as unset"},
    {{{"LANG", "C.UTF-8"}}, false, "any other language is English"},
};

TEST_F(DriverTable, TheLocaleIsReadThroughTheTable) {
    for (const LocaleRow& row : kLocaleRows) {
        g_environment = row.environment;
        EXPECT_EQ(tovix::UserLocaleIsChinese(), row.chinese) << row.why;
    }
}

TEST_F(DriverTable, EnvironmentFallsBackWhenUnsetOrEmpty) {
    g_environment = {{"A", "value"}, {"B", ""}};
    EXPECT_EQ(tovix::Environment("A", "x"), "value");
    EXPECT_EQ(tovix::Environment("B", "x"), "x");
    EXPECT_EQ(tovix::Environment("C", "x"), "x");
}

struct ProgramRow {
    std::vector<std::string> argv;
    int status;
    const char* why;
};

const ProgramRow kProgramRows[] = {
    {{"true"}, 0, "found in PATH"},
    {{"sh", "-c", "exit 19"}, 19, "the exit status"},
    {{"sh", "-c", "kill -TERM $$"}, 128 + 15, "ended by a signal"},
    {{"/nonexistent/program"}, -1, "cannot be started"},
    {{}, -1, "nothing to run"},
};

TEST(HostCalls, RunProgram) {
    for (const ProgramRow& row : kProgramRows) {
        EXPECT_EQ(tovix::RunProgram(row.argv), row.status) << row.why;
    }
}

TEST(HostCalls, SocketAddressText) {
    sockaddr_in v4 = {};
    v4.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &v4.sin_addr);
    EXPECT_EQ(tovix::SocketAddressText(&v4), "127.0.0.1");
    sockaddr_in6 v6 = {};
    v6.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "::1", &v6.sin6_addr);
    EXPECT_EQ(tovix::SocketAddressText(&v6), "::1");
    sockaddr other = {};
    other.sa_family = AF_UNIX;
    EXPECT_EQ(tovix::SocketAddressText(&other), "");
}

TEST(HostCalls, WakeUpsOfBothDrivers) {
    for (const tovix::Driver* driver : {&tovix::NullDriver(), &tovix::TtyDriver()}) {
        std::unique_ptr<tovix::WakeUp> wake = driver->createWakeUp();
        EXPECT_EQ(wake->Wait(-1, 1), 0) << driver->name << ": nothing yet";
        wake->Signal();
        wake->Signal();
        EXPECT_EQ(wake->Wait(-1, 1000), tovix::kWoken) << driver->name;
        EXPECT_EQ(wake->Wait(-1, 1), 0) << driver->name << ": signals do not pile up";
        std::thread other([&] { wake->Signal(); });
        EXPECT_EQ(wake->Wait(-1, -1), tovix::kWoken) << driver->name << ": from another thread";
        other.join();
    }
}

TEST(FaultTable, FailsTheNamedCallOnce) {
    for (const char* call : {"CreateThread", "InternetOpenUrlW", "InternetReadFile"}) {
        EXPECT_EQ(tovix::TakeFault(call), 0u) << call;
        EXPECT_TRUE(tovix::FailNextCall(call, 1234)) << call;
        EXPECT_EQ(tovix::TakeFault(call), 1234u) << call;
        EXPECT_EQ(tovix::TakeFault(call), 0u) << call << ": only the next use fails";
    }
    EXPECT_FALSE(tovix::FailNextCall("CreateFileW", 5)) << "not in the table";
    EXPECT_EQ(tovix::TakeFault("CreateFileW"), 0u);
}

} // namespace
