/* Helpers shared by the tests of the host WinInet layer. */
#ifndef TOVIX_TESTS_PLATFORM_WININET_TEST_H
#define TOVIX_TESTS_PLATFORM_WININET_TEST_H

#include <windows.h>
#include <wininet.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "text.h"

namespace wininet_test {

// Opens a session (no proxy unless asked) with short timeouts.
inline HINTERNET OpenSession(DWORD access = INTERNET_OPEN_TYPE_DIRECT, DWORD receiveMs = 1000,
                             LPCWSTR agent = L"TovixTest") {
    HINTERNET session = InternetOpenW(agent, access, NULL, NULL, 0);
    if (session) {
        DWORD connect = 2000;
        InternetSetOptionW(session, INTERNET_OPTION_CONNECT_TIMEOUT, &connect, sizeof(connect));
        InternetSetOptionW(session, INTERNET_OPTION_SEND_TIMEOUT, &receiveMs, sizeof(receiveMs));
        InternetSetOptionW(session, INTERNET_OPTION_RECEIVE_TIMEOUT, &receiveMs, sizeof(receiveMs));
    }
    return session;
}

inline HINTERNET OpenUrl(HINTERNET session, const std::string& url, DWORD_PTR context = 0,
                         DWORD flags = 0) {
    std::u16string wide = testing_text::U16(url);
    return InternetOpenUrlW(session, testing_text::W(wide), NULL, 0, flags, context);
}

// Reads to the end in pieces of `piece` bytes. On a failed read, stops and
// puts its code in *error (0 otherwise).
inline std::string ReadAll(HINTERNET request, DWORD piece, DWORD* error) {
    std::string body;
    std::vector<char> buffer(piece);
    *error = 0;
    for (;;) {
        DWORD read = 0;
        if (!InternetReadFile(request, buffer.data(), piece, &read)) {
            *error = GetLastError();
            return body;
        }
        if (read == 0) {
            return body;
        }
        body.append(buffer.data(), read);
    }
}

// One status callback, as recorded by StatusLog::Callback.
struct Status {
    HINTERNET handle;
    DWORD_PTR context;
    DWORD status;
    std::string text; // the information as text, for the statuses that carry text
    std::thread::id thread;
};

// Records every status callback of the process.
class StatusLog {
  public:
    static void CALLBACK Callback(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info,
                                  DWORD length) {
        Status entry{handle, context, status, std::string(), std::this_thread::get_id()};
        bool textual =
            status == INTERNET_STATUS_RESOLVING_NAME || status == INTERNET_STATUS_NAME_RESOLVED ||
            status == INTERNET_STATUS_CONNECTING_TO_SERVER ||
            status == INTERNET_STATUS_CONNECTED_TO_SERVER || status == INTERNET_STATUS_REDIRECT;
        if (textual && info && length) {
            entry.text.assign(static_cast<const char*>(info), length - 1);
        }
        std::lock_guard<std::mutex> lock(Mutex());
        Entries().push_back(entry);
    }
    static std::vector<Status> Take() {
        std::lock_guard<std::mutex> lock(Mutex());
        std::vector<Status> taken;
        taken.swap(Entries());
        return taken;
    }
    static std::vector<DWORD> TakeCodes() {
        std::vector<DWORD> codes;
        for (const Status& s : Take()) {
            codes.push_back(s.status);
        }
        return codes;
    }

  private:
    static std::mutex& Mutex() {
        static std::mutex mutex;
        return mutex;
    }
    static std::vector<Status>& Entries() {
        static std::vector<Status> entries;
        return entries;
    }
};

} // namespace wininet_test

#endif
