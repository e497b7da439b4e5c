/*
 * The status callbacks of a WinInet request (see request.cpp), from
 * libcurl's hooks: each hook queues what it saw, and the queue is reported
 * on the calling thread after libcurl has returned, so a callback never runs
 * inside libcurl.
 *
 * Status callbacks, from libcurl's hooks (reported on the calling thread,
 * after libcurl has returned, in this order):
 *   10 RESOLVING_NAME       resolver start callback (a new connection's
 *                           name lookup; the DNS cache is off, so each one)
 *   11 NAME_RESOLVED        open-socket callback, when a lookup was reported
 *   20 CONNECTING_TO_SERVER open-socket callback (first socket of a connection)
 *   21 CONNECTED_TO_SERVER  pre-request callback, after a new connection
 *   30 SENDING_REQUEST      pre-request callback (new or reused connection)
 *   31 REQUEST_SENT         when libcurl returns from the round that sent the
 *   40 RECEIVING_RESPONSE   request, or at the first header line if earlier
 *   41 RESPONSE_RECEIVED    header callback, at the blank line ending a
 *                           response's headers (not for 1xx)
 *   110 REDIRECT            before following a Location, with the new URL
 *   50 CLOSING_CONNECTION   when the request lets go of a connection that
 *   51 CONNECTION_CLOSED    cannot carry another request (below)
 * InternetReadFile reports 40 before it waits for the network and 41 when it
 * returns what came.
 *
 * Letting go of the connection, as WinInet does: an answer with an empty
 * body (Content-Length: 0), a read that returns no bytes (the end of the
 * body, or a failure) and the close of the handle release it. It is kept for reuse, silently, when
 * the answer allows keep-alive (HTTP/1.1 without Connection: close, or Connection: Keep-Alive) and
 * its body has been taken in whole (all of a Content-Length body has arrived, or a chunked body has
 * been read to its end); otherwise the request reports 50 and 51 as it closes the connection: a
 * Connection: close or HTTP/1.0 answer, a body without a length, unread chunks, a failed transfer.
 * A request closed while another thread is blocked in a call on it reports neither. Status
 * information: the host name (10), the address (11, 20, 21), the new URL (110), all UTF-8 text; a
 * DWORD byte count for 31 and 41; none for 30 and 40.
 *
 */
#include "wininet/request.h"

#include "driver/driver.h"

namespace tovix::wininet {

namespace {

char Fold(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (Fold(text[i]) != Fold(prefix[i])) {
            return false;
        }
    }
    return true;
}

namespace {

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                             text.back() == '\n')) {
        text.remove_suffix(1);
    }
    return text;
}

} // namespace

// ---- The queue ----------------------------------------------------------------

void Request::Notify(DWORD status, LPVOID info, DWORD length) {
    if (!context) {
        return;
    }
    INTERNET_STATUS_CALLBACK callbackNow = callback.load();
    if (!callbackNow || callbackNow == INTERNET_INVALID_STATUS_CALLBACK) {
        return;
    }
    callbackNow(handle, context, status, info, length);
}

void Request::Queue(DWORD status, std::string text) {
    events_.push_back(Event{status, true, std::move(text), 0});
}

void Request::QueueNumber(DWORD status, DWORD number) {
    events_.push_back(Event{status, false, std::string(), number});
}

void Request::Flush() {
    std::vector<Event> events;
    events.swap(events_);
    for (Event& event : events) {
        if (event.hasText) {
            Notify(event.status, &event.text[0], static_cast<DWORD>(event.text.size() + 1));
        } else if (event.status == INTERNET_STATUS_SENDING_REQUEST ||
                   event.status == INTERNET_STATUS_RECEIVING_RESPONSE) {
            Notify(event.status, nullptr, 0);
        } else {
            Notify(event.status, &event.number, sizeof(event.number));
        }
    }
}

void Request::QueueSent() {
    long requestBytes = 0;
    curl_easy_getinfo(easy_, CURLINFO_REQUEST_SIZE, &requestBytes);
    QueueNumber(INTERNET_STATUS_REQUEST_SENT, static_cast<DWORD>(requestBytes));
    QueueNumber(INTERNET_STATUS_RECEIVING_RESPONSE, 0);
    exchange_.sentReported = true;
}

// ---- libcurl's hooks -------------------------------------------------------------

size_t Request::OnHeader(char* data, size_t size, size_t count, void* self) {
    Request& request = *static_cast<Request*>(self);
    Exchange& ex = request.exchange_;
    size_t length = size * count;
    ex.headerBytes += length;
    if (ex.headerBytes > kMaxHeaderBytes) {
        request.failure_ = ERROR_HTTP_INVALID_SERVER_RESPONSE;
        return 0;
    }
    if (!ex.sentReported) {
        request.QueueSent(); // the answer has begun, so the request is out
    }
    std::string_view line(data, length);
    if (StartsWithNoCase(line, "http/")) {
        ex.status = 0;
        ex.location.clear();
        ex.http11 = StartsWithNoCase(line, "http/1.1");
        ex.connectionHeader = ex.keepAliveHeader = ex.hasLength = ex.emptyBody = ex.chunked = false;
    } else if (StartsWithNoCase(line, "connection:")) {
        std::string_view value = Trim(line.substr(11));
        ex.connectionHeader = true;
        ex.keepAliveHeader = value.size() == 10 && StartsWithNoCase(value, "keep-alive");
    } else if (StartsWithNoCase(line, "content-length:")) {
        ex.hasLength = true;
        ex.emptyBody = Trim(line.substr(15)) == "0";
    } else if (StartsWithNoCase(line, "transfer-encoding:")) {
        ex.chunked = StartsWithNoCase(Trim(line.substr(18)), "chunked");
    } else if (Trim(line).empty()) {
        long status = 0;
        curl_easy_getinfo(request.easy_, CURLINFO_RESPONSE_CODE, &status);
        ex.status = status;
        if (status >= 100 && status < 200) {
            return length; // an interim answer; the real one follows
        }
        ex.headersDone = true;
        request.QueueNumber(INTERNET_STATUS_RESPONSE_RECEIVED, static_cast<DWORD>(ex.headerBytes));
        ex.follow = request.FollowsRedirect();
    } else if (StartsWithNoCase(line, "location:")) {
        ex.location.assign(Trim(line.substr(9)));
    }
    return length;
}

size_t Request::OnBody(char* data, size_t size, size_t count, void* self) {
    Request& request = *static_cast<Request*>(self);
    size_t length = size * count;
    if (request.exchange_.follow) {
        request.exchange_.discarded += length;
        return request.exchange_.discarded > kBodyBufferBytes ? 0 : length;
    }
    if (!request.body_.empty() && request.body_.size() + length > kBodyBufferBytes) {
        request.paused_ = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    request.body_.append(data, length);
    NoteBufferedBytes(request.body_.size());
    return length;
}

int Request::OnResolverStart(void*, void*, void* self) {
    Request& request = *static_cast<Request*>(self);
    request.Queue(INTERNET_STATUS_RESOLVING_NAME, request.current_.host);
    request.exchange_.resolving = true;
    return 0;
}

curl_socket_t Request::OnOpenSocket(void* self, curlsocktype, struct curl_sockaddr* address) {
    Request& request = *static_cast<Request*>(self);
    Exchange& ex = request.exchange_;
    if (!ex.connecting) {
        std::string text = SocketAddressText(&address->addr);
        if (ex.resolving) {
            request.Queue(INTERNET_STATUS_NAME_RESOLVED, text);
            ex.resolving = false;
        }
        request.Queue(INTERNET_STATUS_CONNECTING_TO_SERVER, text);
        ex.connecting = true;
    }
    int fd = HostDriver().openSocket(address->family, address->socktype, address->protocol);
    return fd < 0 ? CURL_SOCKET_BAD : fd;
}

int Request::OnPrereq(void* self, char* primaryIp, char*, int, int) {
    Request& request = *static_cast<Request*>(self);
    Exchange& ex = request.exchange_;
    if (ex.connecting) {
        request.Queue(INTERNET_STATUS_CONNECTED_TO_SERVER, primaryIp ? primaryIp : "");
    }
    // A connection libcurl opens later for this exchange (when a reused one
    // turns out dead) reports its own steps again.
    ex.connecting = false;
    ex.resolving = false;
    ex.requestReady = true;
    request.connected_ = true;
    ex.sentReported = false;
    request.QueueNumber(INTERNET_STATUS_SENDING_REQUEST, 0);
    return CURL_PREREQFUNC_OK;
}

} // namespace tovix::wininet
