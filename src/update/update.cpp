/*
 * The update worker. It opens a synchronous Internet session, sends one GET
 * in the DynDNS update convention, reads at most 128 bytes of the answer and
 * judges them: an answer beginning with "good" or "nochg" is a success. The
 * HTTP status is not looked at; the body alone decides.
 */
#include "update/update.h"

#include <shlwapi.h>

#include "app/settings.h"
#include "server_address.h"
#include "ui/report.h"
#include "ui/status_messages.h"

#define TEXT_BUFFER_CHARS 512
#define ANSWER_BYTES 128
#define IO_TIMEOUT_MS 30000

std::atomic<HINTERNET> SessionSlot{NULL};

static const WCHAR UpdateUrlFormat[] = L"http://%s:%s@" TOVIX_UPDATE_SERVER_ADDRESS L"/dyndns/"
                                       L"update?system=dyndns&hostname=%s&wildcard=ON&mx="
                                       L"%s&backmx=YES";

DWORD WINAPI RunUpdate(LPVOID param) {
    HWND window = static_cast<HWND>(param);
    LONG result = -1;
    CHAR answer[ANSWER_BYTES + 1] = "";
    HINTERNET request = NULL;

    HINTERNET session = InternetOpenW(L"Tovix", INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    SessionSlot.store(session);
    if (session) {
        // Without these a server that accepts and never answers could hold
        // a silent run for ever.
        DWORD timeout = IO_TIMEOUT_MS;
        InternetSetOptionW(session, INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof(timeout));
        InternetSetOptionW(session, INTERNET_OPTION_SEND_TIMEOUT, &timeout, sizeof(timeout));
        InternetSetOptionW(session, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof(timeout));
        if (window) {
            InternetSetStatusCallbackW(session, OnInternetStatus);
        }

        WCHAR url[TEXT_BUFFER_CHARS];
        wsprintfW(url, UpdateUrlFormat, UpdateSettings.szUserName, UpdateSettings.szPassword,
                  UpdateSettings.szHostName, UpdateSettings.szHostName);

        // The slot is read again here: if a cancel has emptied it, the call
        // fails with an invalid handle and the run ends as a failure.
        request = InternetOpenUrlW(SessionSlot.load(), url, NULL, 0, 0,
                                   reinterpret_cast<DWORD_PTR>(window));
        if (request) {
            DWORD read = 0;
            if (InternetReadFile(request, answer, ANSWER_BYTES, &read)) {
                answer[read <= ANSWER_BYTES ? read : ANSWER_BYTES] = '\0';
                if (StrCmpNA(answer, "good", 4) == 0 || StrCmpNA(answer, "nochg", 5) == 0) {
                    result = 0;
                }
            }
        }
    }

    if (window) {
        if (result == 0) {
            ReportUpdateResult(window, TRUE, 0, answer);
        } else {
            // The code must be read before any other platform call.
            DWORD error = GetLastError();
            if (error != 0) {
                result = static_cast<LONG>(error);
            }
            ReportUpdateResult(window, FALSE, error, answer);
        }
    }

    if (request) {
        // The result is on screen now. Closing a request whose connection
        // cannot be kept (Connection: close, no length, unread data) reports
        // CLOSING_CONNECTION from inside the close, and its message must not
        // replace the result; the request took the session's callback when
        // it was opened, so it is cleared on the request itself.
        InternetSetStatusCallbackW(request, NULL);
        InternetCloseHandle(request);
    }
    if (HINTERNET open = SessionSlot.exchange(NULL)) {
        InternetCloseHandle(open);
    }
    return static_cast<DWORD>(result);
}
