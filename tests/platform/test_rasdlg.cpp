// The host RasDialDlgW: its dial dialog run by DialogBoxParamW on the
// headless driver, keys posted to it as the display would, and pppd
// replaced through the driver table.
#include <gtest/gtest.h>

#include <rasdlg.h>

#include "driver/driver.h"
#include "rasdlg/dial_dialog.h"
#include "recorder.h"

#include <cstdio>
#include <fstream>
#include <map>
#include <thread>
#include <unistd.h>

namespace {

std::map<std::string, std::string> g_environment;
std::vector<std::vector<std::string>> g_runs;
int g_pppdStatus = 0;

const char* FakeEnvironment(const char* name) {
    auto it = g_environment.find(name);
    return it == g_environment.end() ? nullptr : it->second.c_str();
}

int FakeRun(const std::vector<std::string>& argv) {
    g_runs.push_back(argv); // on the dialog's thread, which the test joins
    return g_pppdStatus;
}

// The status line's texts among what a recorder saw.
std::vector<std::string> StatusTexts(Recorder& recorder) {
    const std::string prefix = "text " + std::to_string(IDC_DIAL_STATUS) + " ";
    std::vector<std::string> texts;
    for (const std::string& line : recorder.Lines()) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            texts.push_back(line.substr(prefix.size()));
        }
    }
    return texts;
}

std::string StatusLine(const std::string& text) {
    return "text " + std::to_string(IDC_DIAL_STATUS) + " " + text;
}

struct Key {
    UINT message;
    WPARAM wParam;
};
const Key kEnter = {WM_KEYDOWN, VK_RETURN};
const Key kEscape = {WM_KEYDOWN, VK_ESCAPE};
const Key kCtrlC = {WM_CLOSE, 0}; // the display's close request

struct DialRow {
    const char* why;
    const char* lang;
    Key key;
    int pppdStatus;
    BOOL result;
    DWORD error;
    std::vector<std::string> status; // the status line, in order
};

const DialRow kRows[] = {
    {"Enter dials",
     "C.UTF-8",
     kEnter,
     0,
     TRUE,
     0,
     {"Dial Home?", "Dialling Home...", "Connected to Home."}},
    {"the Dial button's mnemonic, in Chinese",
     "zh_CN.UTF-8",
     {WM_CHAR, 'd'},
     0,
     TRUE,
     0,
     {"要拨号连接 Home 吗?", "正在拨号 Home...", "已连接到 Home。"}},
    {"pppd fails",
     "C",
     kEnter,
     19,
     FALSE,
     691,
     {"Dial Home?", "Dialling Home...", "Could not connect Home (error 691)."}},
    {"Escape cancels", "C", kEscape, 0, FALSE, 0, {"Dial Home?"}},
    {"the Cancel button's mnemonic", "C", {WM_CHAR, 'C'}, 0, FALSE, 0, {"Dial Home?"}},
    {"Ctrl+C, the close box, cancels", "C", kCtrlC, 0, FALSE, 0, {"Dial Home?"}},
};

class RasDialDlg : public ::testing::Test {
  protected:
    void SetUp() override {
        char path[] = "/tmp/tovix-rasdlg-XXXXXX";
        int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        close(fd);
        book_ = path;
        std::ofstream(book_) << "[Home]\nPhoneNumber=1\n";
        g_environment = {{"TOVIX_PHONEBOOK", book_}, {"TOVIX_PPPD", "fake-pppd"}};
        g_runs.clear();
        tovix::Driver fake = {};
        fake.getEnvironment = FakeEnvironment;
        fake.runProgram = FakeRun;
        tovix::UseDriver(fake);
    }
    void TearDown() override {
        tovix::SetDialogObserver(nullptr);
        tovix::UseDriver(tovix::NullDriver());
        std::remove(book_.c_str());
    }
    BOOL Run(RASDIALDLG* info) {
        WCHAR entry[] = L"Home";
        return RasDialDlgW(nullptr, entry, nullptr, info);
    }
    std::string book_;
};

TEST_F(RasDialDlg, KeysAndResults) {
    for (const DialRow& row : kRows) {
        Recorder recorder;
        g_runs.clear();
        g_environment["LANG"] = row.lang;
        g_pppdStatus = row.pppdStatus;
        std::thread user([&] {
            HWND hwnd = recorder.Window();
            ASSERT_TRUE(recorder.WaitFor(StatusLine(row.status[0])));
            PostMessageW(hwnd, row.key.message, row.key.wParam, 0);
            if (row.status.size() == 3) {
                ASSERT_TRUE(recorder.WaitFor(StatusLine(row.status[2]))) << row.why;
                PostMessageW(hwnd, WM_KEYDOWN, VK_RETURN, 0); // the Close button
            }
        });
        RASDIALDLG info = {};
        info.dwSize = sizeof(info);
        EXPECT_EQ(Run(&info), row.result) << row.why;
        user.join();
        EXPECT_EQ(info.dwError, row.error) << row.why;
        EXPECT_EQ(StatusTexts(recorder), row.status) << row.why;
        if (row.status.size() == 3) {
            EXPECT_EQ(g_runs, (std::vector<std::vector<std::string>>{
                                  {"fake-pppd", "call", "Home", "updetach"}}))
                << row.why;
        } else {
            EXPECT_TRUE(g_runs.empty()) << row.why << ": dialled anyway";
        }
    }
}

TEST_F(RasDialDlg, NothingToShowItOnMeansNoDial) {
    tovix::Driver noDisplay = tovix::HostDriver();
    noDisplay.createDisplay = [] { return tovix::MakeNullDisplay(false); };
    tovix::UseDriver(noDisplay);
    RASDIALDLG info = {};
    info.dwSize = sizeof(info);
    EXPECT_FALSE(Run(&info));
    EXPECT_EQ(info.dwError, static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_TRUE(g_runs.empty());
}

TEST_F(RasDialDlg, WrongSizeIsRefused) {
    RASDIALDLG info = {};
    info.dwSize = sizeof(info) + 4;
    EXPECT_FALSE(Run(&info));
    EXPECT_EQ(info.dwError, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

} // namespace
