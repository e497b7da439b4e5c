/*
 * A scripted Internet library for dialog tests, linked in place of the
 * platform's WinInet. The open of the URL reports the scripted stages to the
 * status callback, then answers, fails, or blocks until the session is
 * closed (or, like Wine, until the test releases it). The request takes the
 * session's status callback when it opens and keeps its own from then on.
 * Every close of a session is counted, so tests can prove it happens exactly
 * once.
 */
#ifndef TOVIX_TESTS_UI_FAKE_WININET_H
#define TOVIX_TESTS_UI_FAKE_WININET_H

#include <windows.h>
#include <wininet.h>

#include <string>
#include <vector>

namespace fake {

enum class Open { Answer, Fail, Block, BlockIgnoringClose };

struct Script {
    std::vector<DWORD> stages{
        INTERNET_STATUS_HANDLE_CREATED,      INTERNET_STATUS_RESOLVING_NAME,
        INTERNET_STATUS_NAME_RESOLVED,       INTERNET_STATUS_CONNECTING_TO_SERVER,
        INTERNET_STATUS_CONNECTED_TO_SERVER, INTERNET_STATUS_SENDING_REQUEST,
        INTERNET_STATUS_REQUEST_SENT,        INTERNET_STATUS_RECEIVING_RESPONSE,
        INTERNET_STATUS_RESPONSE_RECEIVED};
    Open open = Open::Answer;
    DWORD failCode = 0;
    std::string answer = "good 192.0.2.1";
    int blockMicroseconds = -1; // Block: give up after this long (< 0: never) and answer
    // The server's connection cannot be kept (Connection: close and the
    // like): closing the request reports CLOSING_CONNECTION and
    // CONNECTION_CLOSED before HANDLE_CLOSING, as WinInet does.
    bool closesConnection = false;
};

// Starts a test: the script, and all counters back to zero.
void Reset(const Script& script);
// Waits (bounded) until the worker is blocked in the open of the URL.
bool WaitUntilBlocked();
// Lets a blocked open go on: it then fails with the cancelled-operation code.
void Release();
// Closes of the session seen so far, and closes of an already closed one.
int SessionCloses();
int BadCloses();
// Handles of the session that are still open.
int OpenSessions();

} // namespace fake

#endif
