/*
 * The driver in use, the host calls made through it, and the fault table
 * (see driver.h). This file and host.cpp are the only ones that read the
 * environment; the locale is read here and nowhere else.
 */
#include "driver/driver.h"

#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>

namespace tovix {

namespace {

std::mutex g_mutex;
// Every table UseDriver was given, kept for the life of the process so
// that a thread still holding the previous one never reads freed memory.
std::deque<Driver>& Tables() {
    static auto* tables = new std::deque<Driver>();
    return *tables;
}
std::atomic<const Driver*> g_current{nullptr};

// One row per call a test can make fail; the error waits for its next use.
struct FaultRow {
    const char* call;
    std::atomic<DWORD> error;
};
FaultRow g_faults[] = {
    {"CreateThread", {0}},
    {"InternetOpenUrlW", {0}},
    {"InternetReadFile", {0}},
};

FaultRow* FindFault(const char* call) {
    for (FaultRow& row : g_faults) {
        if (std::strcmp(row.call, call) == 0) {
            return &row;
        }
    }
    return nullptr;
}

template <typename Entry> void Fallback(Entry& entry, Entry fallback) {
    if (!entry) {
        entry = fallback;
    }
}

} // namespace

const Driver& HostDriver() {
    const Driver* current = g_current.load();
    return current ? *current : NullDriver();
}

void UseDriver(const Driver& driver) {
    const Driver& fallback = NullDriver();
    Driver filled = driver;
    Fallback(filled.name, fallback.name);
    Fallback(filled.createDisplay, fallback.createDisplay);
    Fallback(filled.createWakeUp, fallback.createWakeUp);
    Fallback(filled.runProgram, fallback.runProgram);
    Fallback(filled.getEnvironment, fallback.getEnvironment);
    Fallback(filled.openSocket, fallback.openSocket);
    Fallback(filled.now, fallback.now);
    std::lock_guard<std::mutex> lock(g_mutex);
    Tables().push_back(filled);
    g_current.store(&Tables().back());
}

int RunProgram(const std::vector<std::string>& argv) {
    return HostDriver().runProgram(argv);
}

std::string Environment(const char* name, const char* fallback) {
    const char* value = HostDriver().getEnvironment(name);
    return value && *value ? value : fallback;
}

bool UserLocaleIsChinese() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        std::string value = Environment(name);
        if (!value.empty()) {
            return value.compare(0, 2, "zh") == 0;
        }
    }
    return false;
}

std::u16string StripMnemonic(const std::u16string& text, char16_t* mnemonic) {
    std::u16string out;
    *mnemonic = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'&' && i + 1 < text.size()) {
            ++i;
            if (text[i] != u'&' && !*mnemonic) {
                *mnemonic = text[i];
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

bool FailNextCall(const char* call, DWORD error) {
    FaultRow* row = FindFault(call);
    if (!row) {
        return false;
    }
    row->error.store(error);
    return true;
}

DWORD TakeFault(const char* call) {
    FaultRow* row = FindFault(call);
    return row ? row->error.exchange(0) : 0;
}

} // namespace tovix
