/*
 * The WinInet functions of the host layer, synchronous only: InternetOpenW,
 * InternetSetOptionW (connect, send and receive timeouts),
 * InternetSetStatusCallbackW, InternetOpenUrlW (http GET), InternetReadFile
 * and InternetCloseHandle.
 *
 * Proxies: INTERNET_OPEN_TYPE_PRECONFIG takes the system's configuration,
 * which here is the standard environment variables as libcurl reads them
 * (http_proxy, no_proxy); DIRECT uses none; PROXY uses the one given (its
 * "http=" entry, or its first), with the bypass list turned into libcurl's
 * no-proxy list ("<local>" is dropped). Automatic proxy detection, the
 * registry, asynchronous sessions (any flag to InternetOpenW), process-wide
 * options (a null handle), InternetConnect, HttpOpenRequest, FTP and the
 * cache are left out.
 *
 * InternetCloseHandle may come from any thread. It never waits for a call
 * blocked on the handle: it takes the handle out of the table, wakes that
 * call, which then fails with ERROR_INTERNET_OPERATION_CANCELLED, and
 * returns. Closing a session closes its requests too. HANDLE_CLOSING is
 * reported on the thread that closes, for each request closed with a
 * non-zero context, after CLOSING_CONNECTION and CONNECTION_CLOSED when the
 * request's connection cannot be kept (request.cpp).
 */
#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <mutex>

#include "common/text.h"
#include "driver/driver.h"
#include "wininet/handles.h"
#include "wininet/request.h"

using tovix::wininet::Kind;
using tovix::wininet::Object;
using tovix::wininet::Request;
using tovix::wininet::Session;

#define INTERNET_OPEN_TYPE_PRECONFIG_WITH_NO_AUTOPROXY 4

namespace {

std::atomic<size_t> g_peakBuffered{0};

// What HANDLE_CREATED carries, laid out as WinInet's INTERNET_ASYNC_RESULT.
struct AsyncResult {
    DWORD_PTR dwResult;
    DWORD dwError;
};

bool InitLibcurl() {
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] { ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
    return ok;
}

bool IsListSeparator(char c) {
    return c == ' ' || c == '\t' || c == ';' || c == ',';
}

std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> items;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && IsListSeparator(text[i])) {
            ++i;
        }
        size_t start = i;
        while (i < text.size() && !IsListSeparator(text[i])) {
            ++i;
        }
        if (i > start) {
            items.push_back(text.substr(start, i - start));
        }
    }
    return items;
}

// The proxy for http out of a WinInet proxy list ("http=host:port other=..."
// or "host:port"), as libcurl takes it.
std::string ChooseProxy(const std::string& list) {
    std::string chosen;
    for (const std::string& item : SplitList(list)) {
        size_t equals = item.find('=');
        if (equals == std::string::npos) {
            if (chosen.empty()) {
                chosen = item;
            }
        } else if (item.compare(0, equals, "http") == 0) {
            chosen = item.substr(equals + 1);
            break;
        }
    }
    if (!chosen.empty() && chosen.find("://") == std::string::npos) {
        chosen = "http://" + chosen;
    }
    return chosen;
}

std::string NoProxyList(const std::string& bypass) {
    std::string list;
    for (const std::string& item : SplitList(bypass)) {
        if (item == "<local>") {
            continue;
        }
        list += (list.empty() ? "" : ",") + item;
    }
    return list;
}

// Extra request headers: lines separated by CR LF (or LF); empty ones skipped.
std::vector<std::string> SplitHeaders(LPCWSTR headers, DWORD length) {
    std::vector<std::string> lines;
    if (!headers) {
        return lines;
    }
    size_t count = length == static_cast<DWORD>(-1) ? tovix::WideLength(headers) : length;
    std::string text = tovix::Utf16ToUtf8(tovix::AsU16(headers), count);
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty()) {
            lines.push_back(line);
        }
        start = end + 1;
    }
    return lines;
}

template <typename T> T Fail(DWORD error, T result) {
    SetLastError(error);
    return result;
}

// Closes what RemoveHandle took out of the table, on this thread and with no
// lock held: takes each idle request for itself (a call that looked the handle
// up just before now finds it busy), wakes the calls blocked on the others,
// lets the idle requests go of their connections (CLOSING_CONNECTION,
// CONNECTION_CLOSED when it cannot be kept) and reports HANDLE_CLOSING for
// every request. A request whose call was still running reports no
// connection's end, even if that call returns meanwhile.
void FinishClosing(const std::vector<std::shared_ptr<Object>>& removed) {
    std::vector<bool> idle(removed.size(), false);
    for (size_t i = 0; i < removed.size(); ++i) {
        if (removed[i]->kind == Kind::Request) {
            idle[i] = !static_cast<Request*>(removed[i].get())->busy.exchange(true);
        }
    }
    for (const auto& object : removed) {
        object->Wake();
    }
    for (size_t i = 0; i < removed.size(); ++i) {
        if (removed[i]->kind == Kind::Request) {
            auto* request = static_cast<Request*>(removed[i].get());
            if (idle[i]) {
                request->Release();
            }
            HINTERNET handle = request->handle;
            request->Notify(INTERNET_STATUS_HANDLE_CLOSING, &handle, sizeof(handle));
        }
    }
}

// The end of a call on a request. A request that a close on another thread
// took out of the table meanwhile stays busy: the call was running when the
// close came, so the close reports no connection's end for it, even if it
// looks only after this call has returned.
void LeaveCall(Request& request) {
    if (!request.closed.load()) {
        request.busy.store(false);
    }
}

} // namespace

namespace tovix {
namespace wininet {
void NoteBufferedBytes(size_t bytes) {
    size_t peak = g_peakBuffered.load();
    while (bytes > peak && !g_peakBuffered.compare_exchange_weak(peak, bytes)) {
    }
}
} // namespace wininet

size_t InternetHandleCapacity() {
    return wininet::HandleCapacity();
}
size_t InternetLiveHandleCount() {
    return wininet::LiveHandleCount();
}
size_t InternetPeakBufferedBytes() {
    return g_peakBuffered.load();
}
void ResetInternetPeakBufferedBytes() {
    g_peakBuffered.store(0);
}
} // namespace tovix

HINTERNET InternetOpenW(LPCWSTR agent, DWORD accessType, LPCWSTR proxy, LPCWSTR bypass,
                        DWORD flags) {
    if (flags != 0) {
        return Fail<HINTERNET>(ERROR_INVALID_PARAMETER, nullptr); // asynchronous: not here
    }
    auto session = std::make_shared<Session>();
    switch (accessType) {
    case INTERNET_OPEN_TYPE_PRECONFIG:
    case INTERNET_OPEN_TYPE_PRECONFIG_WITH_NO_AUTOPROXY:
        break;
    case INTERNET_OPEN_TYPE_DIRECT:
        session->direct = true;
        break;
    case INTERNET_OPEN_TYPE_PROXY:
        session->proxy = ChooseProxy(proxy ? tovix::Utf16ToUtf8(proxy) : std::string());
        if (session->proxy.empty()) {
            return Fail<HINTERNET>(ERROR_INVALID_PARAMETER, nullptr);
        }
        session->noProxy = NoProxyList(bypass ? tovix::Utf16ToUtf8(bypass) : std::string());
        break;
    default:
        return Fail<HINTERNET>(ERROR_INVALID_PARAMETER, nullptr);
    }
    if (agent) {
        session->hasAgent = true;
        session->agent = tovix::Utf16ToUtf8(agent);
    }
    if (!InitLibcurl()) {
        return Fail<HINTERNET>(ERROR_INTERNET_INTERNAL_ERROR, nullptr);
    }
    DWORD error = 0;
    HINTERNET handle = tovix::wininet::RegisterHandle(session, nullptr, &error);
    if (!handle) {
        return Fail<HINTERNET>(error, nullptr);
    }
    SetLastError(ERROR_SUCCESS);
    return handle;
}

INTERNET_STATUS_CALLBACK InternetSetStatusCallbackW(HINTERNET internet,
                                                    INTERNET_STATUS_CALLBACK callback) {
    std::shared_ptr<Object> object = tovix::wininet::LookupHandle(internet);
    if (!object) {
        return Fail(ERROR_INVALID_HANDLE, INTERNET_INVALID_STATUS_CALLBACK);
    }
    return object->callback.exchange(callback);
}

BOOL InternetSetOptionW(HINTERNET internet, DWORD option, LPVOID buffer, DWORD length) {
    std::shared_ptr<Object> object = tovix::wininet::LookupHandle(internet);
    if (!object) {
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    }
    std::atomic<DWORD>* target;
    switch (option) {
    case INTERNET_OPTION_CONNECT_TIMEOUT:
        target = &object->connectTimeoutMs;
        break;
    case INTERNET_OPTION_SEND_TIMEOUT:
    case INTERNET_OPTION_DATA_SEND_TIMEOUT:
        target = &object->sendTimeoutMs;
        break;
    case INTERNET_OPTION_RECEIVE_TIMEOUT:
    case INTERNET_OPTION_DATA_RECEIVE_TIMEOUT:
        target = &object->receiveTimeoutMs;
        break;
    default:
        return Fail(ERROR_INTERNET_INVALID_OPTION, FALSE);
    }
    if (!buffer) {
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    if (length != sizeof(DWORD)) {
        return Fail(ERROR_INTERNET_BAD_OPTION_LENGTH, FALSE);
    }
    DWORD value;
    memcpy(&value, buffer, sizeof(value));
    target->store(value);
    return TRUE;
}

HINTERNET InternetOpenUrlW(HINTERNET internet, LPCWSTR url, LPCWSTR headers, DWORD headersLength,
                           DWORD flags, DWORD_PTR context) {
    std::shared_ptr<Object> object = tovix::wininet::LookupHandle(internet);
    if (!object) {
        return Fail<HINTERNET>(ERROR_INVALID_HANDLE, nullptr);
    }
    if (object->kind != Kind::Session) {
        return Fail<HINTERNET>(ERROR_INTERNET_INCORRECT_HANDLE_TYPE, nullptr);
    }
    if (!url) {
        return Fail<HINTERNET>(ERROR_INVALID_PARAMETER, nullptr);
    }
    if (DWORD error = tovix::TakeFault("InternetOpenUrlW")) {
        return Fail<HINTERNET>(error, nullptr);
    }
    tovix::wininet::CrackedUrl cracked;
    if (DWORD error = tovix::wininet::CrackUrl(tovix::AsU16(url), &cracked)) {
        return Fail<HINTERNET>(error, nullptr);
    }
    auto request = std::make_shared<Request>(std::static_pointer_cast<Session>(object), context,
                                             (flags & INTERNET_FLAG_NO_AUTO_REDIRECT) == 0);
    if (!request->Init(SplitHeaders(headers, headersLength))) {
        return Fail<HINTERNET>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
    }
    // Busy before anyone can know the handle: a call on it meanwhile fails.
    request->busy.store(true);
    DWORD error = 0;
    HINTERNET handle = tovix::wininet::RegisterHandle(request, object.get(), &error);
    if (!handle) {
        return Fail<HINTERNET>(error, nullptr);
    }
    AsyncResult created = {reinterpret_cast<DWORD_PTR>(handle), 0};
    request->Notify(INTERNET_STATUS_HANDLE_CREATED, &created, sizeof(created));
    error = request->Open(cracked);
    LeaveCall(*request);
    if (error) {
        // Unless a close got there first, the failed request goes here.
        FinishClosing(tovix::wininet::RemoveHandle(handle));
        return Fail<HINTERNET>(error, nullptr);
    }
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL InternetReadFile(HINTERNET file, LPVOID buffer, DWORD wanted, LPDWORD read) {
    if (!read || (!buffer && wanted)) {
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    *read = 0;
    std::shared_ptr<Object> object = tovix::wininet::LookupHandle(file);
    if (!object) {
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    }
    if (object->kind != Kind::Request) {
        return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE, FALSE);
    }
    if (DWORD error = tovix::TakeFault("InternetReadFile")) {
        return Fail(error, FALSE);
    }
    auto* request = static_cast<Request*>(object.get());
    if (request->busy.exchange(true)) {
        // Busy with another call, or taken by a close on another thread.
        return Fail(request->closed.load() ? ERROR_INVALID_HANDLE
                                           : ERROR_INTERNET_INCORRECT_HANDLE_STATE,
                    FALSE);
    }
    DWORD error = request->Read(static_cast<char*>(buffer), wanted, read);
    LeaveCall(*request);
    if (error) {
        return Fail(error, FALSE);
    }
    // The caller may rely on a clean last error after a good read.
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL InternetCloseHandle(HINTERNET internet) {
    std::vector<std::shared_ptr<Object>> removed = tovix::wininet::RemoveHandle(internet);
    if (removed.empty()) {
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    }
    FinishClosing(removed);
    return TRUE;
}
