// The update call of acme-dns, which ACME clients (acme.sh's dns_acmedns,
// lego's acme-dns, Caddy) use to set the TXT record of a DNS-01 challenge:
// POST /update with X-Api-User and X-Api-Key, and a JSON body
// {"subdomain": "...", "txt": "..."}. Here the user is the host's name and
// the key one of its tokens; the record is _acme-challenge.HOST.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tovix::server {

struct AcmeUpdate {
    std::string subdomain;
    std::string txt;
};

// The request's body, or nothing with a one-line reason in *why: not a JSON
// object, or "subdomain" or "txt" missing or not a string.
std::optional<AcmeUpdate> parse_acme_update(std::string_view body, std::string* why);
// What ACME makes a DNS-01 value of: a SHA-256 digest in base64url without
// padding, 43 characters.
bool is_acme_value(std::string_view txt);
// Whether `subdomain` names `host`: the host itself, or its first label.
bool names_host(std::string_view subdomain, std::string_view host);

} // namespace tovix::server
