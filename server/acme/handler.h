// The acme-dns-compatible update route (POST /update): the TXT record of a
// host's ACME DNS-01 challenge, set with one of the host's tokens.
#pragma once

#include "auth/authenticator.h"
#include "dns/purge.h"
#include "http/answer.h"
#include "update/activity.h"

#include <string>
#include <vector>

namespace tovix::server {

class AcmeHandler {
  public:
    struct Context {
        Authenticator& auth;
        Store& store;
        DnsPurger& purger; // the one the store's changed names go to
        ActivityLog& activity;
        Workers& workers;
        std::vector<std::string> zones;
        int throttled_delay_ms = 1000;
        bool log_to_stderr = true; // a database failure, one line
    };
    explicit AcmeHandler(Context context) : c_(std::move(context)) {}

    // The user is a host (X-Api-User), the key one of its tokens (X-Api-Key).
    void handle(const HttpRequest& request, const Caller& caller, const Respond& respond);

  private:
    void answer(const Verdict& verdict, const std::string& host, const std::string& txt,
                const Respond& respond);
    void set_challenge(const std::string& host, const std::string& txt, const Respond& respond);

    Context c_;
};

} // namespace tovix::server
