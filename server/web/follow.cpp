// A host's place among routers and followers on its page: the router it
// follows and with which suffix, or the form to follow one of the
// account's other hosts; a router's latest prefix and its followers. The
// store keeps the relation (Store::follow), as for the command line.
#include "base/prefix.h"
#include "base/strings.h"
#include "dns/names.h"
#include "web/call.h"
#include "web/pages.h"

#include <ctime>

namespace tovix::server {

namespace {

const char* refusal_key(FollowResult result) {
    switch (result) {
    case FollowResult::NotOwned:
        return "follow_not_owned";
    case FollowResult::Itself:
        return "follow_itself";
    case FollowResult::RouterFollows:
        return "router_follows";
    case FollowResult::HostFollowed:
        return "host_followed";
    case FollowResult::Full:
        return "too_many_followers";
    case FollowResult::SuffixOverlaps:
        return "suffix_overlaps";
    case FollowResult::Done:
        break;
    }
    return "failed";
}

Origin origin_of(const WebPages::Call& call) {
    return {call.caller, call.request.header("User-Agent").value_or(""), call.request.https,
            "web account " + call.account->name};
}

} // namespace

mstch::map with_follow(Store& store, const WebPages::Call& call, const std::string& host,
                       mstch::map context) {
    const FollowState state = store.follow_state(host);
    if (state.follows)
        context["follows"] =
            mstch::map{{"router", state.follows->router}, {"suffix", state.follows->suffix}};
    mstch::array followers, routers;
    for (const Follow& f : state.followers)
        followers.push_back(mstch::map{{"host", f.host}, {"suffix", f.suffix}});
    // A host that is followed follows nobody: it gets no form.
    if (followers.empty()) {
        for (const std::string& other : call.account->hosts)
            if (other != host)
                routers.push_back(mstch::map{{"host", other}});
    }
    context["can_follow"] = !state.follows && !routers.empty();
    context["routers"] = routers;
    context["has_followers"] = !followers.empty();
    context["followers"] = followers;
    if (!state.prefix.empty())
        context["prefix"] = state.prefix;
    return context;
}

void WebPages::follow(const CallPtr& call, const Params& params) {
    const std::string& host = params[0];
    if (!call->owns(host))
        return call->not_found();
    const std::string given(trim(call->form["suffix"]));
    std::optional<std::string> suffix = mac_suffix(given);
    if (!suffix)
        suffix = parse_suffix(given);
    if (!suffix)
        return call->page(400, "lan_prefix", "message", {{"error", call->word("bad_suffix")}});
    const FollowResult result =
        c_.store.follow({host, normalize_host(call->form["router"]), *suffix}, call->account->name,
                        origin_of(*call), std::time(nullptr));
    if (result != FollowResult::Done)
        return call->page(400, "lan_prefix", "message",
                          {{"error", call->word(refusal_key(result))}});
    call->redirect("/host/" + host + "?m=saved");
}

void WebPages::unfollow(const CallPtr& call, const Params& params) {
    const std::string& host = params[0];
    if (!call->owns(host))
        return call->not_found();
    c_.store.unfollow(host, call->account->name, origin_of(*call), std::time(nullptr));
    call->redirect("/host/" + host + "?m=saved");
}

} // namespace tovix::server
