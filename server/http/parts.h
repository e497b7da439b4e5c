// Pieces of the HTTP layer that its daemon uses: what the layer refuses of
// a request head by itself, the same rules over the raw bytes of a
// connection's first requests (for the doorman, http/door.h), and the
// listening socket (which the monitor's listener opens too).
#pragma once

#include "http/server.h"

#include <microhttpd.h>
#include <sys/socket.h>

#include <string>
#include <string_view>

namespace tovix::server {

struct Refusal {
    int status = 0; // 0: nothing refused
    const char* text = "";
};

// In the URI callback, before the library splits the query: true when the
// target has more query parameters than the layer takes; the query is then
// cut in the library's own buffer, so it has nothing left to split.
bool cut_long_query(char* uri);

// What the layer answers by itself once the head is in, if anything: a long
// target or too many parameters, an ambiguous body length, a body.
Refusal head_refusal(MHD_Connection* connection, const std::string& target, bool too_many_params,
                     std::size_t max_body);

// The body-length part of that, for a head's header lines as sent: a name
// that is no token, Content-Length given more than once, with
// Transfer-Encoding, not a plain decimal or over max_body, or
// Transfer-Encoding alone.
Refusal framing_refusal(const Fields& headers, std::size_t max_body);

// What the doorman makes of the bytes a connection has sent so far (`ended`:
// and then closed its side).
struct Screening {
    enum class Verdict {
        Wait,   // the first head is not all in yet
        Pass,   // hand the connection to the library
        Refuse, // answer `refusal` and close
    };
    Verdict verdict = Verdict::Wait;
    Refusal refusal;
    // Refuse: the head refused, as sent.
    std::string method, target;
    Fields headers;
    // Pass: the answers the library will give to what is in (each request
    // whose head and body are all in, and a head it refuses by itself).
    std::size_t answers = 0;
};

// Reads each complete request head in `bytes` in turn (skipping the bodies
// that framing_refusal lets through) and refuses the connection at the
// first head whose body length framing_refusal refuses, or that folds a
// header line: libmicrohttpd 0.9.75 answers a Content-Length it cannot
// parse with its error head twice, so such a head must never reach it.
// A head of `max_head` bytes or more without its end, a head behind a body
// that is not all in, and whatever follows a head that ends the connection
// anyway are the library's.
Screening screen_requests(std::string_view bytes, bool ended, std::size_t max_head,
                          std::size_t max_body);

// The text of a socket address, IPv4-mapped IPv6 as plain IPv4; its port
// in *port (0 for another family).
std::string address_text(const sockaddr* sa, int* port);

// A bound, listening socket for the endpoint (IPv6 only for an IPv6
// address); -1 with the reason in *error.
int open_listener(const Endpoint& endpoint, int* port, int* family, std::string* error);

} // namespace tovix::server
