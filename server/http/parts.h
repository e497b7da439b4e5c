// Pieces of the HTTP layer that its daemon uses: what the layer refuses of
// a request head by itself, and the listening socket (which the monitor's
// listener opens too).
#pragma once

#include "http/server.h"

#include <microhttpd.h>

#include <string>

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

// A bound, listening socket for the endpoint (IPv6 only for an IPv6
// address); -1 with the reason in *error.
int open_listener(const Endpoint& endpoint, int* port, int* family, std::string* error);

} // namespace tovix::server
