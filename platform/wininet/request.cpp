/*
 * A WinInet request over libcurl: one GET, with redirects and a Basic
 * challenge followed by the layer itself, and the body read at the caller's
 * pace through a bounded buffer.
 *
 * Provided: redirects (301, 302, 303, 307, 308 with a Location header; at
 * most 10, then ERROR_HTTP_REDIRECT_FAILED); credentials from the URL, sent
 * with Basic authentication in the first request (WinInet itself waits for
 * a 401 challenge and asks again; one request is all a Basic server needs),
 * kept across redirects to the same server only; status callbacks in
 * WinInet's order; timeouts that bound every call; the platform's error
 * codes. A 401 is an answer like any other.
 *
 * Left out: other authentication schemes, POST and other methods, cookies,
 * caching, content decoding, HTTP/2, keep-alive across requests (each request
 * has its own connections, which closing it closes).
 *
 * Status callbacks are queued by libcurl's hooks and reported after it
 * returns (callbacks.cpp); timeouts are budgets (timeouts.cpp).
 */
#include "wininet/request.h"

#include "driver/driver.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>

namespace tovix::wininet {

namespace {

// Longest wait in one round, so a wake-up that got lost could cost no more.
constexpr int kPollSliceMs = 1000;

bool SameServer(const CrackedUrl& a, const CrackedUrl& b) {
    return a.port == b.port && a.host.size() == b.host.size() && StartsWithNoCase(a.host, b.host);
}

} // namespace

Request::Request(std::shared_ptr<Session> session, DWORD_PTR context, bool followRedirects)
    : Object(Kind::Request), context(context), session_(std::move(session)),
      followRedirects_(followRedirects) {
    // A request starts with its session's callback and timeouts.
    callback.store(session_->callback.load());
    connectTimeoutMs.store(session_->connectTimeoutMs.load());
    sendTimeoutMs.store(session_->sendTimeoutMs.load());
    receiveTimeoutMs.store(session_->receiveTimeoutMs.load());
}

Request::~Request() {
    if (added_) {
        curl_multi_remove_handle(multi_, easy_);
    }
    if (easy_) {
        curl_easy_cleanup(easy_);
    }
    if (multi_) {
        curl_multi_cleanup(multi_);
    }
    curl_slist_free_all(headers_);
}

bool Request::Init(const std::vector<std::string>& extraHeaders) {
    multi_ = curl_multi_init();
    easy_ = curl_easy_init();
    if (!multi_ || !easy_) {
        return false;
    }
    for (const std::string& header : extraHeaders) {
        curl_slist* list = curl_slist_append(headers_, header.c_str());
        if (!list) {
            return false;
        }
        headers_ = list;
    }
    CURLcode rc = CURLE_OK;
    auto set = [&](CURLoption option, auto value) {
        if (rc == CURLE_OK) {
            rc = curl_easy_setopt(easy_, option, value);
        }
    };
    set(CURLOPT_NOSIGNAL, 1L);
    // Cancelling during a name lookup must not wait for the lookup.
    set(CURLOPT_QUICK_EXIT, 1L);
    set(CURLOPT_PROTOCOLS_STR, "http");
    set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    set(CURLOPT_FOLLOWLOCATION, 0L);
    set(CURLOPT_DNS_CACHE_TIMEOUT, 0L);
    set(CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
    set(CURLOPT_ERRORBUFFER, errorText_);
    set(CURLOPT_HEADERFUNCTION, &Request::OnHeader);
    set(CURLOPT_HEADERDATA, this);
    set(CURLOPT_WRITEFUNCTION, &Request::OnBody);
    set(CURLOPT_WRITEDATA, this);
    set(CURLOPT_RESOLVER_START_FUNCTION, &Request::OnResolverStart);
    set(CURLOPT_RESOLVER_START_DATA, this);
    set(CURLOPT_OPENSOCKETFUNCTION, &Request::OnOpenSocket);
    set(CURLOPT_OPENSOCKETDATA, this);
    set(CURLOPT_PREREQFUNCTION, &Request::OnPrereq);
    set(CURLOPT_PREREQDATA, this);
    if (session_->hasAgent) {
        set(CURLOPT_USERAGENT, session_->agent.c_str());
    }
    if (session_->direct) {
        set(CURLOPT_PROXY, ""); // also ignores http_proxy and friends
    } else if (!session_->proxy.empty()) {
        set(CURLOPT_PROXY, session_->proxy.c_str());
    }
    if (!session_->noProxy.empty()) {
        set(CURLOPT_NOPROXY, session_->noProxy.c_str());
    }
    if (headers_) {
        set(CURLOPT_HTTPHEADER, headers_);
    }
    return rc == CURLE_OK;
}

void Request::Wake() {
    curl_multi_wakeup(multi_);
}

DWORD Request::StartExchange(const CrackedUrl& url) {
    if (added_) {
        curl_multi_remove_handle(multi_, easy_);
        added_ = false;
    }
    current_ = url;
    exchange_ = Exchange();
    done_ = false;
    result_ = CURLE_OK;
    failure_ = 0;
    paused_ = false;
    body_.clear();
    errorText_[0] = '\0';

    long long connectMs = EffectiveTimeoutMs(connectTimeoutMs.load());
    std::string wire = WireUrl(url);
    bool credentials = url.hasUserInfo && !(url.user.empty() && url.password.empty());
    CURLcode rc = curl_easy_setopt(easy_, CURLOPT_URL, wire.c_str());
    if (rc == CURLE_OK) {
        rc = curl_easy_setopt(easy_, CURLOPT_USERNAME, credentials ? url.user.c_str() : nullptr);
    }
    if (rc == CURLE_OK) {
        rc =
            curl_easy_setopt(easy_, CURLOPT_PASSWORD, credentials ? url.password.c_str() : nullptr);
    }
    if (rc == CURLE_OK) {
        // 0 leaves libcurl's own bound (300 s) in force.
        rc = curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS,
                              connectMs < 0 ? 0L : long(connectMs));
    }
    if (rc != CURLE_OK) {
        return rc == CURLE_OUT_OF_MEMORY ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INTERNET_INVALID_URL;
    }
    if (curl_multi_add_handle(multi_, easy_) != CURLM_OK) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    added_ = true;
    return 0;
}

DWORD Request::Step(Budget& budget) {
    bool waitingForServer = exchange_.requestReady;
    auto started = std::chrono::steady_clock::now();
    if (paused_ && body_.size() < kBodyBufferBytes / 2) {
        // May hand over the bytes held back at once, through OnBody.
        paused_ = false;
        curl_easy_pause(easy_, CURLPAUSE_CONT);
    } else {
        int ready = 0;
        int waitMs = waitingForServer ? budget.WaitMs(kPollSliceMs) : kPollSliceMs;
        if (curl_multi_poll(multi_, nullptr, 0, waitMs, &ready) != CURLM_OK) {
            return ERROR_INTERNET_INTERNAL_ERROR;
        }
    }
    int running = 0;
    CURLMcode rc = curl_multi_perform(multi_, &running);
    if (rc != CURLM_OK) {
        return rc == CURLM_OUT_OF_MEMORY ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INTERNET_INTERNAL_ERROR;
    }
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
        if (message->msg == CURLMSG_DONE) {
            done_ = true;
            result_ = message->data.result;
        }
    }
    if (waitingForServer) {
        budget.Spend(std::chrono::steady_clock::now() - started);
    }
    if (exchange_.requestReady && !exchange_.sentReported) {
        QueueSent();
    }
    Flush();
    return 0;
}

DWORD Request::Pump(Budget& budget, const std::function<bool()>& ready) {
    for (;;) {
        if (closed.load()) {
            return ERROR_INTERNET_OPERATION_CANCELLED;
        }
        if (ready() || done_) {
            return 0;
        }
        if (budget.Expired()) {
            return ERROR_INTERNET_TIMEOUT;
        }
        if (DWORD error = Step(budget)) {
            return error;
        }
    }
}

DWORD Request::TransferError() const {
    if (failure_) {
        return failure_;
    }
    long osErrno = 0;
    curl_easy_getinfo(easy_, CURLINFO_OS_ERRNO, &osErrno);
    bool reset = osErrno == ECONNRESET || strstr(errorText_, "reset") != nullptr;
    switch (result_) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return ERROR_INTERNET_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT:
        return ERROR_INTERNET_CANNOT_CONNECT;
    case CURLE_OPERATION_TIMEDOUT:
        return ERROR_INTERNET_TIMEOUT;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
        return reset ? ERROR_INTERNET_CONNECTION_RESET : ERROR_INTERNET_CONNECTION_ABORTED;
    case CURLE_OK: // ended without a whole response
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_UNSUPPORTED_PROTOCOL: // an HTTP/0.9 answer: no status line at all
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    case CURLE_TOO_MANY_REDIRECTS:
        return ERROR_HTTP_REDIRECT_FAILED;
    case CURLE_URL_MALFORMAT:
        return ERROR_INTERNET_INVALID_URL;
    case CURLE_LOGIN_DENIED:
        return ERROR_INTERNET_LOGIN_FAILURE;
    case CURLE_OUT_OF_MEMORY:
        // libcurl also says this, and nothing more, about a header line
        // longer than it will hold (100 KiB); before the headers are complete
        // that is by far the likelier cause.
        return exchange_.headersDone ? ERROR_NOT_ENOUGH_MEMORY : ERROR_HTTP_INVALID_SERVER_RESPONSE;
    default:
        return ERROR_INTERNET_INTERNAL_ERROR;
    }
}

bool Request::FollowsRedirect() const {
    long status = exchange_.status;
    return followRedirects_ && !exchange_.location.empty() &&
           (status == 301 || status == 302 || status == 303 || status == 307 || status == 308);
}

DWORD Request::Open(const CrackedUrl& url) {
    Budget budget(EffectiveTimeoutMs(receiveTimeoutMs.load()));
    CrackedUrl target = url;
    for (int redirects = 0;;) {
        if (closed.load()) {
            return ERROR_INTERNET_OPERATION_CANCELLED;
        }
        if (DWORD error = StartExchange(target)) {
            return error;
        }
        if (DWORD error = Pump(budget, [this] { return exchange_.headersDone; })) {
            return error;
        }
        if (!exchange_.headersDone) {
            return TransferError();
        }
        if (!exchange_.follow) {
            if (exchange_.hasLength && exchange_.emptyBody) {
                ReleaseConnection(true); // nothing to read: done with it now
            }
            return 0;
        }
        // The body of a redirect is read and dropped, so its connection can
        // carry the next request. OnBody gives up on a long one.
        if (DWORD error = Pump(budget, [] { return false; })) {
            return error;
        }
        if (++redirects > kMaxRedirects) {
            return ERROR_HTTP_REDIRECT_FAILED;
        }
        CrackedUrl next;
        if (DWORD error = ResolveRedirect(target, exchange_.location, &next)) {
            return error;
        }
        if (!next.hasUserInfo && SameServer(next, target)) {
            next.hasUserInfo = target.hasUserInfo;
            next.user = target.user;
            next.password = target.password;
        }
        std::string text = WireUrl(next);
        Notify(INTERNET_STATUS_REDIRECT, &text[0], static_cast<DWORD>(text.size() + 1));
        target = std::move(next);
    }
}

DWORD Request::Read(char* buffer, DWORD wanted, DWORD* read) {
    *read = 0;
    Budget budget(EffectiveTimeoutMs(receiveTimeoutMs.load()));
    size_t filled = 0;
    bool waited = false;
    for (;;) {
        size_t take = std::min<size_t>(wanted - filled, body_.size());
        if (take) {
            memcpy(buffer + filled, body_.data(), take);
            body_.erase(0, take);
            filled += take;
        }
        if (filled == wanted) {
            break;
        }
        if (closed.load()) {
            return ERROR_INTERNET_OPERATION_CANCELLED;
        }
        if (done_) {
            // What came before a failure is handed out first; the failure
            // comes with the call that finds nothing left.
            if (filled == 0 && (failure_ || result_ != CURLE_OK)) {
                DWORD error = TransferError();
                ReleaseConnection(false);
                return error;
            }
            break;
        }
        if (budget.Expired()) {
            // Nothing is lost: the next call gets these bytes again.
            body_.insert(0, buffer, filled);
            return ERROR_INTERNET_TIMEOUT;
        }
        if (!waited) {
            waited = true;
            Notify(INTERNET_STATUS_RECEIVING_RESPONSE, nullptr, 0);
            continue;
        }
        if (DWORD error = Step(budget)) {
            return error;
        }
    }
    if (waited) {
        DWORD count = static_cast<DWORD>(filled);
        Notify(INTERNET_STATUS_RESPONSE_RECEIVED, &count, sizeof(count));
    }
    *read = static_cast<DWORD>(filled);
    if (filled == 0 && wanted > 0) {
        ReleaseConnection(exchange_.hasLength || exchange_.chunked); // the end of the body
    }
    return 0;
}

bool Request::KeepsConnection() const {
    return exchange_.connectionHeader ? exchange_.keepAliveHeader : exchange_.http11;
}

void Request::ReleaseConnection(bool drained) {
    if (!connected_) {
        return;
    }
    connected_ = false;
    if (drained && KeepsConnection()) {
        return;
    }
    Notify(INTERNET_STATUS_CLOSING_CONNECTION, nullptr, 0);
    if (added_) {
        // Taken out mid-transfer, libcurl closes the connection at once.
        curl_multi_remove_handle(multi_, easy_);
        added_ = false;
    }
    Notify(INTERNET_STATUS_CONNECTION_CLOSED, nullptr, 0);
}

void Request::Release() {
    bool whole = done_ && result_ == CURLE_OK && !failure_;
    ReleaseConnection(whole && (exchange_.hasLength || (exchange_.chunked && body_.empty())));
}

} // namespace tovix::wininet
