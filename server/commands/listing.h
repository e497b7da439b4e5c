// What the command line's listings share (private to the commands room):
// a dash for nothing, times in UTC, a host named as an argument, and the
// activity columns of `tovix-server list`.
#pragma once

#include "config.h"
#include "store/store.h"

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>

namespace tovix::server {

// A time as the listings show it, "-" for none.
std::string time_or_dash(std::int64_t t);
// A field as the listings show it: escaped, "-" when empty.
std::string or_dash(const std::string& text);
// The host named on the command line, normalized; nothing (and a message)
// for a name that is no host name.
std::optional<std::string> host_argument(const std::string& raw, std::ostream& err);
// The database as it is (no file made, no zone served), to read or change
// accounts, hosts and tokens. Throws StoreError.
Store existing_store(const Config& config);

// Runs `work` on a store, which may throw StoreError: then the error is
// told on `err` and the status is 1.
int on_store(std::ostream& err, const std::function<int()>& work);
// 0 when everything written to `out` went out, else 1.
int finished(std::ostream& out);

// The "last seen" and "faults" columns of `tovix-server list`, tab-separated.
std::string describe_activity(const Activity& activity);

} // namespace tovix::server
