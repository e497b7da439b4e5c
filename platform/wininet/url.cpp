/*
 * URL cracking for the host WinInet layer (the rule is in url.h). Only http
 * URLs are taken; https, ftp and the rest of WinInet's schemes are refused,
 * and so is a redirect to them. Internationalised host names are handed to
 * libcurl as UTF-8; credentials and the path are never decoded or re-encoded
 * beyond what url.h says.
 */
#include "wininet/url.h"

#include <wininet.h>

#include <curl/curl.h>

#include "common/text.h"

namespace tovix::wininet {

namespace {

bool IsAsciiAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) {
            return false;
        }
    }
    return true;
}

bool IsHostChar(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u >= 0x80 || IsAsciiAlpha(c) || IsDigit(c) || c == '-' || c == '.' || c == '_' ||
           c == '~';
}

bool IsIpv6Char(char c) {
    return IsDigit(c) || (Lower(c) >= 'a' && Lower(c) <= 'f') || c == ':' || c == '.';
}

// Host and optional port, as they stand between the authority's bounds.
bool CrackHostPort(std::string_view text, CrackedUrl* out) {
    std::string_view host;
    std::string_view rest;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string_view::npos || close < 3) {
            return false;
        }
        for (char c : text.substr(1, close - 1)) {
            if (!IsIpv6Char(c)) {
                return false;
            }
        }
        host = text.substr(0, close + 1);
        rest = text.substr(close + 1);
        if (!rest.empty() && rest[0] != ':') {
            return false;
        }
    } else {
        size_t colon = text.find(':');
        host = text.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : text.substr(colon);
        for (char c : host) {
            if (!IsHostChar(c)) {
                return false;
            }
        }
    }
    if (host.empty()) {
        return false;
    }
    unsigned port = 80;
    if (!rest.empty()) {
        std::string_view digits = rest.substr(1);
        if (digits.size() > 5) {
            return false;
        }
        if (!digits.empty()) {
            port = 0;
            for (char c : digits) {
                if (!IsDigit(c)) {
                    return false;
                }
                port = port * 10 + static_cast<unsigned>(c - '0');
            }
            if (port == 0 || port > 65535) {
                return false;
            }
        }
    }
    out->host.assign(host);
    out->port = port;
    return true;
}

// Owns a CURLU handle.
struct UrlHandle {
    CURLU* url = curl_url();
    ~UrlHandle() { curl_url_cleanup(url); }
    UrlHandle() = default;
    UrlHandle(const UrlHandle&) = delete;
    UrlHandle& operator=(const UrlHandle&) = delete;

    bool Get(CURLUPart part, std::string* value, unsigned flags = 0) const {
        char* text = nullptr;
        CURLUcode rc = curl_url_get(url, part, &text, flags);
        if (rc != CURLUE_OK) {
            value->clear();
            return false;
        }
        value->assign(text);
        curl_free(text);
        return true;
    }
};

} // namespace

std::string EncodeForWire(std::string_view utf8) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(utf8.size());
    for (char c : utf8) {
        unsigned char u = static_cast<unsigned char>(c);
        bool encode = u <= 0x20 || u >= 0x7F || c == '"' || c == '<' || c == '>' || c == '\\' ||
                      c == '^' || c == '`' || c == '{' || c == '|' || c == '}';
        if (encode) {
            out.push_back('%');
            out.push_back(hex[u >> 4]);
            out.push_back(hex[u & 0x0F]);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

DWORD CrackUrl(std::u16string_view wide, CrackedUrl* out) {
    *out = CrackedUrl();
    std::string url = Utf16ToUtf8(wide.data(), wide.size());

    size_t colon = url.find(':');
    if (colon == std::string::npos || colon == 0 || !IsAsciiAlpha(url[0])) {
        return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    }
    std::string_view scheme(url.data(), colon);
    for (char c : scheme) {
        if (!IsAsciiAlpha(c) && !IsDigit(c) && c != '+' && c != '-' && c != '.') {
            return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
        }
    }
    if (!EqualsNoCase(scheme, "http")) {
        return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    }
    std::string_view rest(url);
    rest.remove_prefix(colon + 1);
    if (rest.substr(0, 2) != "//") {
        return ERROR_INTERNET_INVALID_URL;
    }
    rest.remove_prefix(2);

    size_t bound = rest.find('/');
    if (bound == std::string_view::npos) {
        bound = rest.find_first_of("?#");
    }
    if (bound == std::string_view::npos) {
        bound = rest.size();
    }
    size_t at = bound == 0 ? std::string_view::npos : rest.rfind('@', bound - 1);
    size_t hostStart = 0;
    if (at != std::string_view::npos) {
        std::string_view userinfo = rest.substr(0, at);
        size_t split = userinfo.find(':');
        out->hasUserInfo = true;
        out->user.assign(userinfo.substr(0, split));
        if (split != std::string_view::npos) {
            out->password.assign(userinfo.substr(split + 1));
        }
        hostStart = at + 1;
    }
    size_t hostEnd = rest.find_first_of("/?#", hostStart);
    if (hostEnd == std::string_view::npos) {
        hostEnd = rest.size();
    }
    if (!CrackHostPort(rest.substr(hostStart, hostEnd - hostStart), out)) {
        return ERROR_INTERNET_INVALID_URL;
    }

    std::string_view target = rest.substr(hostEnd);
    target = target.substr(0, target.find('#'));
    out->target = (target.empty() || target[0] != '/') ? "/" : "";
    out->target += EncodeForWire(target);
    return 0;
}

std::string WireUrl(const CrackedUrl& url) {
    std::string text = "http://" + url.host;
    if (url.port != 80) {
        text += ":" + std::to_string(url.port);
    }
    return text + url.target;
}

DWORD ResolveRedirect(const CrackedUrl& base, std::string_view location, CrackedUrl* out) {
    UrlHandle resolver;
    if (!resolver.url) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    std::string baseText = WireUrl(base);
    std::string next = EncodeForWire(location);
    if (curl_url_set(resolver.url, CURLUPART_URL, baseText.c_str(), 0) != CURLUE_OK ||
        curl_url_set(resolver.url, CURLUPART_URL, next.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
            CURLUE_OK) {
        return ERROR_HTTP_REDIRECT_FAILED;
    }
    std::string scheme;
    std::string host;
    std::string port;
    if (!resolver.Get(CURLUPART_SCHEME, &scheme) || !EqualsNoCase(scheme, "http") ||
        !resolver.Get(CURLUPART_HOST, &host) ||
        !resolver.Get(CURLUPART_PORT, &port, CURLU_DEFAULT_PORT)) {
        return ERROR_HTTP_REDIRECT_FAILED;
    }
    CrackedUrl result;
    if (!CrackHostPort(host + ":" + port, &result)) {
        return ERROR_HTTP_REDIRECT_FAILED;
    }
    std::string user;
    if (resolver.Get(CURLUPART_USER, &user, CURLU_URLDECODE)) {
        result.hasUserInfo = true;
        result.user = user;
        resolver.Get(CURLUPART_PASSWORD, &result.password, CURLU_URLDECODE);
    }
    std::string path;
    std::string query;
    resolver.Get(CURLUPART_PATH, &path);
    result.target = path.empty() ? "/" : path;
    if (resolver.Get(CURLUPART_QUERY, &query)) {
        result.target += "?" + query;
    }
    *out = result;
    return 0;
}

} // namespace tovix::wininet
