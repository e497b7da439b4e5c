// The page's texts in both languages, and how a call is answered.
#include "web/call.h"

#include "auth/sessions.h"
#include "base/strings.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <sstream>

namespace tovix::server {

namespace {

// The texts of the page in each language: strings.tsv, "key\ten\tzh".
struct Texts {
    mstch::map en, zh;
    std::map<std::string, std::string> en_plain, zh_plain;
};

const Texts& texts() {
    static const Texts t = [] {
        Texts out;
        std::istringstream in(*web_file("strings.tsv"));
        std::string line;
        while (std::getline(in, line)) {
            const std::size_t a = line.find('\t'), b = line.find('\t', a + 1);
            if (a == std::string::npos || b == std::string::npos)
                continue;
            const std::string key = line.substr(0, a);
            out.en_plain[key] = line.substr(a + 1, b - a - 1);
            out.zh_plain[key] = line.substr(b + 1);
            out.en.emplace(key, out.en_plain[key]);
            out.zh.emplace(key, out.zh_plain[key]);
        }
        return out;
    }();
    return t;
}

} // namespace

bool wants_chinese(const HttpRequest& request) {
    for (const auto& [name, value] : request.headers) {
        if (iequals(name, "Cookie")) {
            if (value.find("tovix_lang=zh") != std::string::npos)
                return true;
            if (value.find("tovix_lang=en") != std::string::npos)
                return false;
        }
    }
    double zh = 0, en = 0;
    for (const std::string& item : split_list(request.header("Accept-Language").value_or(""))) {
        const std::vector<std::string> parts = split_list(item, ';');
        if (parts.empty())
            continue;
        double q = 1;
        for (std::size_t i = 1; i < parts.size(); ++i) {
            const std::string_view p = trim(parts[i]);
            if (p.rfind("q=", 0) == 0)
                q = std::atof(std::string(p.substr(2)).c_str());
        }
        const std::string tag(trim(parts[0]));
        if ((tag.size() >= 2 && iequals(tag.substr(0, 2), "zh")) && q > zh)
            zh = q;
        if ((tag.size() >= 2 && iequals(tag.substr(0, 2), "en")) && q > en)
            en = q;
    }
    return zh > en;
}

const std::map<std::string, std::string>& WebPages::Call::words() const {
    return chinese ? texts().zh_plain : texts().en_plain;
}

std::string WebPages::Call::word(const std::string& key) const {
    auto found = words().find(key);
    return found == words().end() ? key : found->second;
}

std::string WebPages::Call::when(std::int64_t t) const {
    if (!t)
        return words().at("never");
    const std::time_t at = static_cast<std::time_t>(t);
    std::tm tm{};
    gmtime_r(&at, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return text;
}

std::string WebPages::Call::credential(const std::string& kept) const {
    static const std::pair<const char*, const char*> kinds[] = {
        {"web account ", "by_web_account"}, {"account ", "by_account"}, {"token ", "by_token"}};
    for (const auto& [prefix, key] : kinds) {
        const std::string p = prefix;
        if (kept.rfind(p, 0) == 0)
            return word(key) + " " + kept.substr(p.size());
    }
    return kept == "operator" ? word("by_operator") : kept;
}

HttpResponse WebPages::Call::answer(int status, std::string body, Fields headers) const {
    headers.emplace_back("Content-Security-Policy",
                         "default-src 'self'; form-action 'self'; frame-ancestors 'none'");
    headers.emplace_back("X-Content-Type-Options", "nosniff");
    headers.emplace_back("Referrer-Policy", "no-referrer");
    headers.emplace_back("Cache-Control", "no-store");
    return {status, std::move(body), std::move(headers)};
}

void WebPages::Call::redirect(const std::string& to, Fields headers) const {
    headers.emplace_back("Location", to);
    respond(answer(303, "", std::move(headers)));
}

void WebPages::Call::page(int status, const std::string& title, const std::string& body_template,
                          mstch::map context, Fields headers) const {
    context["t"] = chinese ? texts().zh : texts().en;
    context["title"] = word(title);
    if (account) {
        context["signed_in"] = true;
        context["account"] = account->name;
        context["admin"] = account->admin;
        context["csrf"] = csrf_token(session_id);
    }
    if (!context.count("notice")) {
        const std::string m = request.param("m").value_or("");
        if (!m.empty() && words().count(m))
            context["notice"] = word(m);
    }
    context["switch_url"] = "/lang?to=" + std::string(chinese ? "en" : "zh") +
                            "&back=" + (request.path.empty() ? "/" : request.path);
    headers.emplace_back("Content-Type", "text/html; charset=utf-8");
    respond(answer(status,
                   mstch::render(*web_file("layout.mustache"), context,
                                 {{"body", *web_file(body_template + ".mustache")}}),
                   std::move(headers)));
}

void WebPages::Call::not_found() const {
    page(404, "not_found_title", "message", {{"error", word("not_found")}});
}

void WebPages::Call::busy() const {
    page(503, "busy_title", "message", {{"error", word("busy")}}, {{"Retry-After", "1"}});
}

bool WebPages::Call::owns(const std::string& host) const {
    const std::vector<std::string>& hosts = account->hosts;
    return std::binary_search(hosts.begin(), hosts.end(), host);
}

} // namespace tovix::server
