// The rules of accounts, in one place for the command line and the web
// page: what a user name may be, how a list of hosts reads, how long a
// password is, and the built-in account. Where the two callers still
// differ, the difference is a named set of rules here, not a second copy.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovix::server {

// An account to write into a new database: its password in clear, to be
// hashed (the configuration's accounts, the built-in one).
struct SeedAccount {
    std::string user;
    std::string password;
    std::vector<std::string> hosts; // normalized
};

// The built-in account, matching the client's out-of-the-box settings; a
// server makes it only on loopback alone, serving its host's zone.
SeedAccount default_account();

// 1 to 64 characters and no colon (HTTP Basic ends the name at one): a
// name an account may have had, to look it up.
bool is_user_name(std::string_view name);
// The name of a new account, on the command line and the page alike: 1 to
// 64 of the ASCII letters and digits, '.', '_', '-' and '@', beginning
// with a letter or digit, so that it reads the same in every router's form,
// log and shell.
bool is_new_user_name(std::string_view name);
inline constexpr char kUserNameRule[] =
    "an account name has 1 to 64 characters: letters a-z and A-Z, digits, '.', '_', '-' and "
    "'@', beginning with a letter or digit";

// How a list of hosts is read. The command line takes each argument as a
// comma-separated list and refuses an empty entry; the page's form also
// separates at blanks and line breaks, and skips empty entries.
struct HostListRules {
    bool blanks_separate = false;
    bool empty_skipped = false;
};
inline constexpr HostListRules kCommandLineHosts{false, false};
inline constexpr HostListRules kFormHosts{true, true};

// The hosts of `items`, normalized, sorted and each once; nothing (and the
// entry as given in *bad) when one is no fully qualified host name.
std::optional<std::vector<std::string>> parse_host_list(const std::vector<std::string>& items,
                                                        HostListRules rules, std::string* bad);

// A password read for the command line: 1 to kMaxPassword bytes. The page
// takes a new password of its own form only from kMinPagePassword bytes,
// and makes one (a token's length) when an operator leaves it empty.
inline constexpr std::size_t kMaxPassword = 1024;
inline constexpr std::size_t kMinPagePassword = 8;

} // namespace tovix::server
