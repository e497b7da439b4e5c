/*
 * The floor under Tovix.exe: the same update request through WinInet and
 * nothing else - no command line, no dialling, no window, no timeouts, no
 * status callback. Same URL, user agent and open flags as the program's
 * worker; the answer is read into a buffer of the same size and dropped.
 */
#include <windows.h>
#include <wininet.h>

#include "server_address.h"

static const WCHAR Url[] =
    L"http://"
    L"tovix:"
    L"KoReL52"
    L"@" TOVIX_UPDATE_SERVER_ADDRESS L"/dyndns/update?system=dyndns&hostname=home.tovix.example"
    L"&wildcard=ON&mx=home.tovix.example&backmx=YES";

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    HINTERNET session = InternetOpenW(L"Tovix", INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    if (session) {
        HINTERNET request = InternetOpenUrlW(session, Url, NULL, 0, 0, 0);
        if (request) {
            CHAR answer[128];
            DWORD read = 0;
            InternetReadFile(request, answer, sizeof(answer), &read);
            InternetCloseHandle(request);
        }
        InternetCloseHandle(session);
    }
    return 0;
}
