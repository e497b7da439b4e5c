#include "acme/acme.h"

#include "dns/names.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace tovix::server {

std::optional<AcmeUpdate> parse_acme_update(std::string_view body, std::string* why) {
    const nlohmann::json json = nlohmann::json::parse(body, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        *why = "the body is not a JSON object";
        return std::nullopt;
    }
    AcmeUpdate update;
    for (auto [key, field] : {std::pair{"subdomain", &update.subdomain}, {"txt", &update.txt}}) {
        auto found = json.find(key);
        if (found == json.end() || !found->is_string()) {
            *why = std::string("\"") + key + "\" is missing or not a string";
            return std::nullopt;
        }
        *field = found->get<std::string>();
    }
    return update;
}

bool is_acme_value(std::string_view txt) {
    return txt.size() == 43 && std::all_of(txt.begin(), txt.end(), [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_';
           });
}

bool names_host(std::string_view subdomain, std::string_view host) {
    const std::string name = normalize_host(subdomain);
    return !name.empty() && (name == host || name == host.substr(0, host.find('.')));
}

} // namespace tovix::server
