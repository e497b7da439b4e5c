// Signing in and out, and the password: the sign-in form and the password
// change go through the authenticator, as an update's credentials do.
#include "auth/account_rules.h"
#include "auth/passwords.h"
#include "auth/sessions.h"
#include "base/metrics.h"
#include "web/call.h"
#include "web/pages.h"

#include <algorithm>

namespace tovix::server {

// The start: the signed-in go to their hosts, the others to sign in.
void WebPages::start(const CallPtr& call, const Params&) {
    call->redirect(call->account ? "/hosts" : "/signin");
}

void WebPages::sign_in_page(const CallPtr& call, const Params&) {
    if (call->account)
        return call->redirect("/hosts");
    const bool allowed = call->request.https || c_.plain_sign_in();
    call->page(allowed ? 200 : 403, "sign_in", "signin", {{"refused_http", !allowed}});
}

// The sign-in form goes through the authenticator, as an update's
// credentials do: the same Argon2id check and the same guard. A refusal
// by the guard says to come back later, never that the password is wrong.
void WebPages::sign_in(const CallPtr& call, const Params&) {
    if (!call->request.https && !c_.plain_sign_in())
        return call->page(403, "sign_in", "signin", {{"refused_http", true}});
    Credentials credentials(call->form["user"], call->form["password"]);
    wipe(call->form["password"]);
    call->request.body.clear();
    c_.auth.check(call->caller, credentials, [this, call](const Verdict& verdict) {
        const bool good = verdict.outcome == Verdict::Outcome::Good && !verdict.token;
        if (verdict.outcome == Verdict::Outcome::Throttled ||
            verdict.outcome == Verdict::Outcome::Busy)
            metrics().sign_in(Metrics::kSignInThrottled);
        else if (!good)
            metrics().sign_in(Metrics::kSignInWrong);
        if (verdict.outcome == Verdict::Outcome::Throttled)
            return c_.workers.later(c_.throttled_delay_ms, [call] {
                call->page(503, "sign_in", "signin", {{"error", call->word("retry_later")}},
                           {{"Retry-After", "60"}});
            });
        if (verdict.outcome == Verdict::Outcome::Busy)
            return call->page(503, "sign_in", "signin", {{"error", call->word("retry_later")}},
                              {{"Retry-After", std::to_string(verdict.retry_after)}});
        if (!good)
            return call->page(403, "sign_in", "signin", {{"error", call->word("wrong_password")}});
        const std::string account = verdict.account->name;
        const bool queued = c_.workers.run([this, call, account] {
            std::optional<std::string> id;
            try {
                id = c_.auth.start_session(account);
                if (!id)
                    return call->page(403, "sign_in", "signin",
                                      {{"error", call->word("wrong_password")}});
            } catch (const StoreError&) {
                return call->page(500, "sign_in", "signin", {{"error", call->word("failed")}});
            }
            metrics().sign_in(Metrics::kSignInGood);
            call->redirect("/hosts",
                           {{"Set-Cookie", session_cookie(call->request.https, *id, false)}});
        });
        if (!queued)
            call->busy();
    });
}

void WebPages::sign_out(const CallPtr& call, const Params&) {
    c_.auth.end_session(call->session_id);
    metrics().page_action(Metrics::kSignOut);
    call->redirect("/signin?m=signed_out",
                   {{"Set-Cookie", session_cookie(call->request.https, "", true)}});
}

void WebPages::password_page(const CallPtr& call, const Params&) {
    call->page(200, "change_password", "password", {});
}

// The old password is checked as a sign-in is; the change ends every
// session of the account, this one too.
void WebPages::change_password(const CallPtr& call, const Params&) {
    std::string fresh = call->form["new"];
    wipe(call->form["new"]);
    if (fresh.size() < kMinPagePassword)
        return call->page(400, "change_password", "password",
                          {{"error", call->word("password_short")}});
    Credentials old(call->account->name, call->form["old"]);
    wipe(call->form["old"]);
    c_.auth.check(call->caller, old, [this, call, fresh](const Verdict& verdict) mutable {
        if (verdict.outcome == Verdict::Outcome::Throttled ||
            verdict.outcome == Verdict::Outcome::Busy)
            return call->page(503, "change_password", "password",
                              {{"error", call->word("retry_later")}},
                              {{"Retry-After", std::to_string(std::max(1, verdict.retry_after))}});
        if (verdict.outcome != Verdict::Outcome::Good || verdict.token)
            return call->page(403, "change_password", "password",
                              {{"error", call->word("wrong_old_password")}});
        const bool queued = c_.workers.run([this, call, fresh]() mutable {
            try {
                c_.store.set_password(call->account->name, hash_password(fresh));
                c_.auth.refresh();
            } catch (const StoreError&) {
                wipe(fresh);
                return call->page(500, "change_password", "password",
                                  {{"error", call->word("failed")}});
            }
            wipe(fresh);
            metrics().page_action(Metrics::kPasswordChanged);
            call->redirect("/signin?m=password_changed",
                           {{"Set-Cookie", session_cookie(call->request.https, "", true)}});
        });
        if (!queued)
            call->busy();
    });
}

} // namespace tovix::server
