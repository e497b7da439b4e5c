// Host names: labels of letters, digits and hyphens.
#include "dns/names.h"

#include "base/strings.h"

namespace tovix::server {

namespace {

bool is_alnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

char to_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

bool is_fqdn(std::string_view name) {
    if (name.empty() || name.size() > 253)
        return false;
    std::size_t labels = 0;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find('.', start);
        if (end == std::string_view::npos)
            end = name.size();
        std::string_view label = name.substr(start, end - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
            return false;
        for (char c : label) {
            if (!is_alnum(c) && c != '-')
                return false;
        }
        ++labels;
        start = end + 1;
    }
    return labels >= 2;
}

std::string normalize_host(std::string_view name) {
    name = trim(name);
    if (!name.empty() && name.back() == '.')
        name.remove_suffix(1);
    std::string out(name);
    for (char& c : out)
        c = to_lower(c);
    return out;
}

} // namespace tovix::server
