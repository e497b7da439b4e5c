// acme-dns's update call, answered as acme-dns answers it.
#include "acme/handler.h"

#include "acme/acme.h"
#include "auth/tokens.h"
#include "base/metrics.h"
#include "base/strings.h"
#include "dns/names.h"
#include "dns/zone.h"

#include <cstdio>
#include <ctime>

namespace tovix::server {

namespace {

const char* const kNotAToken = "X-Api-Key is not a token of this host";

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

} // namespace

void AcmeHandler::handle(const HttpRequest& request, const Caller& caller, const Respond& respond) {
    const std::optional<std::string> user = request.header("X-Api-User");
    std::optional<std::string> key = request.header("X-Api-Key");
    if (!user || !key)
        return respond({401, "X-Api-User and X-Api-Key are required"});
    std::string why;
    const std::optional<AcmeUpdate> asked = parse_acme_update(request.body, &why);
    if (!asked)
        return respond({400, why});
    if (!is_acme_value(asked->txt))
        return respond({400, "txt must be 43 characters of base64url"});
    const std::string host = normalize_host(*user);
    if (!names_host(asked->subdomain, host))
        return respond({400, "subdomain must name the host of X-Api-User"});
    // Only a token of the host: an account's password stays off this path.
    if (!is_token_form(*key)) {
        wipe(*key);
        return respond({401, kNotAToken});
    }
    Credentials credentials{*user, *key};
    wipe(*key);
    c_.auth.check(caller.address, credentials,
                  [this, host, txt = asked->txt, respond](const Verdict& verdict) {
                      answer(verdict, host, txt, respond);
                  });
}

void AcmeHandler::answer(const Verdict& verdict, const std::string& host, const std::string& txt,
                         const Respond& respond) {
    switch (verdict.outcome) {
    case Verdict::Outcome::Good:
        if (verdict.token)
            return set_challenge(host, txt, authenticated(respond));
        return respond({401, kNotAToken});
    case Verdict::Outcome::Bad:
        c_.activity.faults({host}, ActivityLog::Fault::Badauth);
        return respond({401, kNotAToken});
    case Verdict::Outcome::Busy:
        return respond({503, "busy, try again", verdict.retry_after});
    case Verdict::Outcome::Throttled:
        c_.activity.faults({host}, ActivityLog::Fault::Throttled);
        return c_.workers.later(c_.throttled_delay_ms, [respond, verdict] {
            respond({503, "too many failed attempts, try again later", verdict.retry_after});
        });
    }
}

// The TXT record written (and synced) on a worker thread; the store tells
// its name to PowerDNS's purge as it commits, and the answer waits for
// PowerDNS to purge it: an ACME client asks DNS for the record next.
void AcmeHandler::set_challenge(const std::string& host, const std::string& txt,
                                const Respond& respond) {
    const std::optional<std::string> zone = zone_for(host, c_.zones);
    if (!zone)
        return respond({400, "the host lies outside every served zone"});
    const bool queued = c_.workers.run([this, host, txt, respond] {
        ChallengeResult result;
        try {
            result = c_.store.set_challenge(host, txt, std::time(nullptr));
        } catch (const StoreError& e) {
            if (c_.log_to_stderr)
                std::fprintf(stderr, "tovix-server: challenge of %s: %s\n", log_field(host).c_str(),
                             e.what());
            return respond({500, "the database failed"});
        }
        if (result != ChallengeResult::Set)
            return respond({401, kNotAToken});
        c_.purger.after_purge([respond, txt](bool all) {
            if (!all)
                metrics().purge_unconfirmed.fetch_add(1, std::memory_order_relaxed);
            respond({200,
                     "{\"txt\": " + json_string(txt) + "}",
                     0,
                     {{"Content-Type", "application/json"}}});
        });
    });
    if (!queued)
        respond({503, "busy, try again", 1});
}

} // namespace tovix::server
