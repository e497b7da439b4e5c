// What a route's handler is given besides the request, and what it answers:
// who called (the caller, explicit, once the credentials are gone), and the
// answer before the server adds what every answer carries (WWW-Authenticate
// with a 401, Retry-After) and writes its log line.
#pragma once

#include "http/server.h"

#include <functional>
#include <string>
#include <utility>

namespace tovix::server {

// Who sent a request.
struct Caller {
    std::string address; // the source; behind trusted proxies, as forwarded
    std::string user;    // the name its credentials gave; empty: none
    std::string user_agent;
    bool https = false;
};

struct Answer {
    Answer(int status, std::string body, int retry_after = 0, Fields headers = {})
        : status(status), body(std::move(body)), retry_after(retry_after),
          headers(std::move(headers)) {}
    int status;
    std::string body;
    int retry_after;            // seconds, for a 503
    Fields headers;             // Content-Type is text/plain unless given here
    bool authenticated = false; // valid credentials came with the request
};

// Writes the answer and its log line; callable from any thread, once.
using Respond = std::function<void(Answer)>;

// `respond` for a request whose credentials were found good.
inline Respond authenticated(Respond respond) {
    return [respond = std::move(respond)](Answer answer) {
        answer.authenticated = true;
        respond(std::move(answer));
    };
}

} // namespace tovix::server
