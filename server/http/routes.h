// Route tables: each row a set of methods, a path pattern and whatever the
// room that owns the table needs (a handler, a label for the metrics, who
// may use it). A request is looked up in order: the first row whose
// pattern matches the path and whose methods take the request's method.
//
// Patterns are literal segments, "{name}" for one segment (never empty,
// no '/'), and a last "{name...}" for the rest of the path (possibly empty,
// '/' included): "/host/{host}/{action}", "/admin/{rest...}".
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tovix::server {

using Methods = std::vector<std::string>; // empty: every method

// Whether `path` matches `pattern`; the {...} parts in *params, in order.
bool match_path(std::string_view pattern, std::string_view path, std::vector<std::string>* params);

bool takes_method(const Methods& methods, std::string_view method);

// "GET, HEAD": the Allow header of a 405.
std::string allow_header(const Methods& methods);

// What a lookup found: the first row whose pattern matches the path and
// whose methods take the request's (nullptr: none), its parameters, and
// the first row whose pattern matches at all, whatever its methods
// (nullptr: the path is no route's).
template <class Row> struct RouteFound {
    const Row* row = nullptr;
    std::vector<std::string> params;
    const Row* first = nullptr;
};

template <class Row>
RouteFound<Row> find_route(const std::vector<Row>& table, std::string_view method,
                           std::string_view path) {
    RouteFound<Row> found;
    std::vector<std::string> params;
    for (const Row& row : table) {
        if (!match_path(row.pattern, path, &params))
            continue;
        if (!found.first)
            found.first = &row;
        if (takes_method(row.methods, method)) {
            found.row = &row;
            found.params = std::move(params);
            break;
        }
    }
    return found;
}

} // namespace tovix::server
