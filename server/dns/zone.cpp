// What a host publishes in its zone, and the zone's own apex records and
// serial: pure functions over the host's settings and the SOA text.
#include "dns/zone.h"

#include "base/strings.h"

#include <algorithm>
#include <tuple>

namespace tovix::server {

bool DnsRecord::operator<(const DnsRecord& o) const {
    return std::tie(name, type, prio, content, ttl) <
           std::tie(o.name, o.type, o.prio, o.content, o.ttl);
}

bool DnsRecord::operator==(const DnsRecord& o) const {
    return std::tie(name, type, prio, content, ttl) ==
           std::tie(o.name, o.type, o.prio, o.content, o.ttl);
}

std::optional<std::string> zone_for(std::string_view host, const std::vector<std::string>& zones) {
    std::optional<std::string> best;
    for (const std::string& zone : zones) {
        const bool inside = host == zone || (host.size() > zone.size() &&
                                             host.substr(host.size() - zone.size()) == zone &&
                                             host[host.size() - zone.size() - 1] == '.');
        if (inside && (!best || zone.size() > best->size()))
            best = zone;
    }
    return best;
}

std::vector<DnsRecord> host_records(const Host& host, int ttl) {
    std::vector<DnsRecord> out;
    if (!host.offline) {
        std::vector<std::string> names{host.name};
        if (host.wildcard)
            names.push_back("*." + host.name);
        for (const std::string& name : names) {
            if (!host.ipv4.empty())
                out.push_back({name, "A", host.ipv4, ttl, 0});
            if (!host.ipv6.empty())
                out.push_back({name, "AAAA", host.ipv6, ttl, 0});
        }
    }
    if (!host.mx.empty()) {
        if (host.backmx && host.mx != host.name) {
            out.push_back({host.name, "MX", host.name, ttl, kMxPriority});
            out.push_back({host.name, "MX", host.mx, ttl, kBackupMxPriority});
        } else {
            out.push_back({host.name, "MX", host.mx, ttl, kMxPriority});
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<DnsRecord> zone_apex_records(const std::string& zone, int ttl) {
    // primary, mailbox, serial, refresh, retry, expire, negative-answer TTL
    const std::string soa =
        "ns1." + zone + " hostmaster." + zone + " 1 10800 3600 604800 " + std::to_string(ttl);
    return {{zone, "SOA", soa, ttl, 0}, {zone, "NS", "ns1." + zone, ttl, 0}};
}

std::optional<std::uint32_t> soa_serial(std::string_view soa) {
    const std::vector<std::string> fields = split_list(soa, ' ');
    if (fields.size() != 7 || fields[2].empty() || fields[2].size() > 10)
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : fields[2]) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > 0xffffffffu)
        return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

std::optional<std::string> next_serial(std::string_view soa) {
    const std::optional<std::uint32_t> serial = soa_serial(soa);
    if (!serial)
        return std::nullopt;
    std::vector<std::string> fields = split_list(soa, ' ');
    // Serial 0 is avoided: some secondaries treat it as "no serial".
    std::uint32_t next = *serial + 1;
    if (next == 0)
        next = 1;
    fields[2] = std::to_string(next);
    std::string out = fields[0];
    for (std::size_t i = 1; i < fields.size(); ++i)
        out += " " + fields[i];
    return out;
}

} // namespace tovix::server
