// The account rules.
#include "auth/account_rules.h"

#include "base/strings.h"
#include "dns/names.h"

#include <algorithm>

namespace tovix::server {

SeedAccount default_account() {
    return SeedAccount{"tovix", "KoReL52", {"home.tovix.example"}};
}

bool is_user_name(std::string_view name) {
    return !name.empty() && name.size() <= 64 && name.find(':') == std::string_view::npos;
}

bool is_new_user_name(std::string_view name) {
    const auto letter_or_digit = [](char ch) {
        return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9');
    };
    if (name.empty() || name.size() > 64 || !letter_or_digit(name[0]))
        return false;
    for (char ch : name)
        if (!letter_or_digit(ch) && ch != '.' && ch != '_' && ch != '-' && ch != '@')
            return false;
    return true;
}

std::optional<std::vector<std::string>> parse_host_list(const std::vector<std::string>& items,
                                                        HostListRules rules, std::string* bad) {
    std::vector<std::string> out;
    for (std::string item : items) {
        if (rules.blanks_separate)
            std::replace_if(
                item.begin(), item.end(),
                [](char ch) { return ch == ' ' || ch == '\n' || ch == '\r'; }, ',');
        for (const std::string& raw : split_list(item)) {
            if (rules.empty_skipped && trim(raw).empty())
                continue;
            std::string host = normalize_host(raw);
            if (!is_fqdn(host)) {
                *bad = raw;
                return std::nullopt;
            }
            out.push_back(std::move(host));
        }
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

} // namespace tovix::server
