// One request of the page on its way (private to the web room): what it
// asked, who asks, its language and form, its session, and the ways it is
// answered (a rendered page, a redirect, a plain answer), each with the
// headers every answer of the page carries.
#pragma once

#include "http/server.h"
#include "store/store.h"
#include "web/pages.h"

#include <mstch/mstch.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace tovix::server {

struct WebPages::Call {
    HttpRequest request;
    std::string caller;
    Respond send;
    bool chinese = false;
    std::map<std::string, std::string> form;
    // Signed in: the session's id, and its account as it is now.
    std::string session_id;
    std::optional<AccountRecord> account;

    // The page's texts in the request's language (strings.tsv), by key.
    const std::map<std::string, std::string>& words() const;
    std::string word(const std::string& key) const;
    // A time as the page shows it ("2026-12-09 10:52:33 UTC"), or "never".
    std::string when(std::int64_t t) const;
    // Who made a change, as the history keeps it ("web account alice",
    // "account alice", "token 4", "operator"), in the page's language.
    std::string credential(const std::string& kept) const;

    void respond(HttpResponse response) const { send(std::move(response), account.has_value()); }
    // Headers every answer of the page carries.
    HttpResponse answer(int status, std::string body, Fields headers = {}) const;
    void redirect(const std::string& to, Fields headers = {}) const;
    // body_template.mustache inside layout.mustache, with the texts, the
    // session's account and CSRF token, and a notice (?m=KEY).
    void page(int status, const std::string& title, const std::string& body_template,
              mstch::map context, Fields headers = {}) const;
    void not_found() const;
    void busy() const;
    // Whether the account may see `host`; a host page answers not found
    // for any other.
    bool owns(const std::string& host) const;
};

// A host page's context with what it shows of the host's router or its
// followers (follow.cpp).
mstch::map with_follow(Store& store, const WebPages::Call& call, const std::string& host,
                       mstch::map context);

// The value of the cookie `name` the request carries; empty: none.
std::string cookie(const HttpRequest& request, const std::string& name);

// The language a browser asks for first, of the two the page has.
bool wants_chinese(const HttpRequest& request);

} // namespace tovix::server
