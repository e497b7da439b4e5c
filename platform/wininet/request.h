/*
 * Sessions and requests of the host WinInet layer. A request is one URL
 * opened with InternetOpenUrlW: a libcurl easy handle in a multi handle of
 * its own, driven only by the thread that is inside a call on it, so that
 * InternetCloseHandle on another thread can wake it (curl_multi_wakeup) and
 * never has to wait for it.
 */
#ifndef TOVIX_PLATFORM_WININET_REQUEST_H
#define TOVIX_PLATFORM_WININET_REQUEST_H

#include <windows.h>
#include <wininet.h>

#include <curl/curl.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "wininet/handles.h"
#include "wininet/url.h"

namespace tovix::wininet {

// Body bytes a request keeps before it pauses the transfer, and header bytes
// one response may carry.
constexpr size_t kBodyBufferBytes = 64 * 1024;
constexpr size_t kMaxHeaderBytes = 64 * 1024;
// Redirects one InternetOpenUrlW follows before it gives up.
constexpr int kMaxRedirects = 10;

class Session : public Object {
  public:
    Session() : Object(Kind::Session) {}
    bool hasAgent = false;
    std::string agent;   // User-Agent, UTF-8
    bool direct = false; // no proxy, whatever the environment says
    std::string proxy;   // explicit proxy; empty: the standard environment variables
    std::string noProxy;
};

// Time a call may spend waiting for the server. Unlimited when negative.
class Budget {
  public:
    explicit Budget(long long ms);
    bool Expired() const;
    // How long the next wait may last, at most `cap` milliseconds.
    int WaitMs(int cap) const;
    void Spend(std::chrono::steady_clock::duration spent);

  private:
    bool unlimited_;
    std::chrono::steady_clock::duration left_;
};

// The timeout that applies for a set value: 0 and INFINITE mean none (-1),
// and the test cap (TOVIX_WININET_TIMEOUT_CAP_MS) bounds every value.
long long EffectiveTimeoutMs(DWORD value);

class Request : public Object {
  public:
    Request(std::shared_ptr<Session> session, DWORD_PTR context, bool followRedirects);
    ~Request() override;

    // Creates the libcurl handles. False when out of memory.
    bool Init(const std::vector<std::string>& extraHeaders);
    void Wake() override;

    // Reports a status to the request's callback (none with context 0).
    void Notify(DWORD status, LPVOID info, DWORD length);

    // Sends the request and follows redirects until the final response's
    // headers are in. Returns 0 or an error code.
    DWORD Open(const CrackedUrl& url);
    // Reads body bytes (see InternetReadFile). Returns 0 or an error code.
    DWORD Read(char* buffer, DWORD wanted, DWORD* read);
    // The handle is being closed: lets go of the connection (see
    // ReleaseConnection). Only by the thread that holds `busy`.
    void Release();

    // One call at a time works on a request.
    std::atomic<bool> busy{false};
    const DWORD_PTR context;

  private:
    // What one HTTP exchange (one request and its response) has seen.
    struct Exchange {
        long status = 0;
        bool headersDone = false;
        size_t headerBytes = 0;
        std::string location;
        bool follow = false;       // a redirect that will be followed
        bool resolving = false;    // RESOLVING_NAME reported, NAME_RESOLVED not yet
        bool connecting = false;   // CONNECTING_TO_SERVER reported for this connection
        bool requestReady = false; // the connection is up and the request goes out
        bool sentReported = false;
        size_t discarded = 0;
        // How the answer ends its body, and whether its connection may
        // carry another request (as WinInet judges it: HTTP/1.1 unless the
        // server says otherwise, HTTP/1.0 only with Connection: Keep-Alive).
        bool http11 = false;
        bool connectionHeader = false;
        bool keepAliveHeader = false;
        bool hasLength = false;
        bool emptyBody = false; // Content-Length: 0
        bool chunked = false;
    };

    struct Event {
        DWORD status;
        bool hasText;
        std::string text;
        DWORD number;
    };

    DWORD StartExchange(const CrackedUrl& url);
    // Lets libcurl work until `ready` holds, the transfer ends, the request
    // is closed or the budget is spent.
    DWORD Pump(Budget& budget, const std::function<bool()>& ready);
    // One round: resume a paused transfer or wait for the sockets, then let
    // libcurl work and report what it did.
    DWORD Step(Budget& budget);
    DWORD TransferError() const;
    void Queue(DWORD status, std::string text);
    void QueueNumber(DWORD status, DWORD number);
    void Flush();
    bool FollowsRedirect() const;
    void QueueSent();
    bool KeepsConnection() const;
    void ReleaseConnection(bool drained);

    static size_t OnHeader(char* data, size_t size, size_t count, void* self);
    static size_t OnBody(char* data, size_t size, size_t count, void* self);
    static int OnResolverStart(void* resolverState, void* reserved, void* self);
    static curl_socket_t OnOpenSocket(void* self, curlsocktype purpose,
                                      struct curl_sockaddr* address);
    static int OnPrereq(void* self, char* primaryIp, char* localIp, int primaryPort, int localPort);

    std::shared_ptr<Session> session_;
    const bool followRedirects_;
    CURLM* multi_ = nullptr;
    CURL* easy_ = nullptr;
    curl_slist* headers_ = nullptr;
    char errorText_[CURL_ERROR_SIZE] = "";

    // Everything below belongs to the thread that holds `busy`.
    CrackedUrl current_;
    bool added_ = false;
    bool done_ = false;
    CURLcode result_ = CURLE_OK;
    DWORD failure_ = 0; // the layer's own reason for aborting the transfer
    bool paused_ = false;
    bool connected_ = false; // a connection is held and not yet let go
    std::string body_;
    Exchange exchange_;
    std::vector<Event> events_;
};

// Whether text starts with prefix, ASCII letters in either case.
bool StartsWithNoCase(std::string_view text, std::string_view prefix);

// The most body bytes any request held (wininet.cpp keeps the peak).
void NoteBufferedBytes(size_t bytes);

} // namespace tovix::wininet

#endif
