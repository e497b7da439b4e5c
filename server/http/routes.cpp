// Matching a path against a route's pattern, segment by segment.
#include "http/routes.h"

#include <algorithm>

namespace tovix::server {

namespace {

// The next segment of `text` after its leading '/', and the rest after it.
std::string_view next_segment(std::string_view* text) {
    text->remove_prefix(1);
    const std::size_t slash = text->find('/');
    const std::string_view segment = text->substr(0, slash);
    text->remove_prefix(slash == std::string_view::npos ? text->size() : slash);
    return segment;
}

} // namespace

bool match_path(std::string_view pattern, std::string_view path, std::vector<std::string>* params) {
    params->clear();
    while (!pattern.empty()) {
        if (path.empty() || path.front() != '/' || pattern.front() != '/')
            return false;
        const std::string_view want = next_segment(&pattern);
        if (want.size() > 5 && want.front() == '{' && want.substr(want.size() - 4) == "...}") {
            params->emplace_back(path.substr(1)); // the rest, whatever it holds
            return pattern.empty();
        }
        const std::string_view got = next_segment(&path);
        if (want.size() > 2 && want.front() == '{' && want.back() == '}') {
            if (got.empty())
                return false;
            params->emplace_back(got);
        } else if (want != got) {
            return false;
        }
    }
    return path.empty();
}

std::string allow_header(const Methods& methods) {
    std::string out;
    for (const std::string& m : methods)
        out += (out.empty() ? "" : ", ") + m;
    return out;
}

bool takes_method(const Methods& methods, std::string_view method) {
    return methods.empty() || std::find(methods.begin(), methods.end(), method) != methods.end();
}

} // namespace tovix::server
