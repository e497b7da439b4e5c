-- wrk script for tovix-server (bench/load.sh): update requests with Basic
-- credentials and the user agent "Tovix", spread over the hosts of one
-- account, each with an address of its own (myip) so most answers are
-- "good". Run with as many threads as connections: each thread then has one
-- connection and owns its own share of the hosts, so the updates of one host
-- never overlap and the server's log order is their order.
--
--   wrk -tC -cC -d... -s load.lua http://127.0.0.1/ -- LEVEL C HOSTS BASIC [same] [plain]
-- LEVEL numbers the run (it is part of every address), C is the connection
-- count, HOSTS the number of hosts (h001.bench.example ...), BASIC the
-- base64 of "user:password", or @FILE: a file whose line N is "HOST BASIC"
-- for host N, signing each host's updates in with its own credentials (its
-- token). "same" sends each host one address over and over (nochg); "plain"
-- sends myip alone (no wildcard, mx or backmx: the settings stay). done()
-- prints one "BENCH key=value ..." line.

local threads = {}
local next_id = 0

function setup(thread)
    thread:set("id", next_id)
    next_id = next_id + 1
    table.insert(threads, thread)
end

function init(args)
    level = tonumber(args[1])
    local connections = tonumber(args[2])
    local hosts = tonumber(args[3])
    same, plain = false, false
    for i = 5, #args do
        same = same or args[i] == "same"
        plain = plain or args[i] == "plain"
    end
    mine, auth = {}, {}
    local per_host = {}
    if args[4]:sub(1, 1) == "@" then
        for line in io.lines(args[4]:sub(2)) do
            local host, basic = line:match("^(%S+) (%S+)$")
            per_host[host] = basic
        end
    end
    for h = 1, hosts do
        if (h - 1) % connections == id then
            local host = string.format("h%03d.bench.example", h)
            table.insert(mine, host)
            auth[host] = "Basic " .. (per_host[host] or args[4])
        end
    end
    sent, good, nochg, other = 0, 0, 0, 0
end

function request()
    local host = mine[(sent % #mine) + 1]
    local address = string.format("fd00::%x:%x:%x:%x", level, id,
        same and 0 or math.floor(sent / 65536), same and 0 or sent % 65536)
    sent = sent + 1
    local settings = plain and "" or "&wildcard=ON&mx=" .. host .. "&backmx=YES"
    return wrk.format("GET", "/dyndns/update?system=dyndns&hostname=" .. host .. "&myip=" ..
        address .. settings,
        { ["Authorization"] = auth[host], ["User-Agent"] = "Tovix" })
end

function response(status, headers, body)
    if status == 200 and body:sub(1, 5) == "good " then
        good = good + 1
    elseif status == 200 and body:sub(1, 6) == "nochg " then
        nochg = nochg + 1
    else
        other = other + 1
    end
end

function done(summary, latency, requests)
    local g, n, o = 0, 0, 0
    for _, thread in ipairs(threads) do
        g = g + thread:get("good")
        n = n + thread:get("nochg")
        o = o + thread:get("other")
    end
    local e = summary.errors
    io.write(string.format("BENCH connections=%d requests=%d duration_us=%d good=%d nochg=%d " ..
        "other=%d errors_connect=%d errors_read=%d errors_write=%d errors_status=%d " ..
        "errors_timeout=%d p50_us=%d p90_us=%d p99_us=%d max_us=%d\n",
        #threads, summary.requests, summary.duration, g, n, o, e.connect, e.read, e.write,
        e.status, e.timeout, latency:percentile(50), latency:percentile(90),
        latency:percentile(99), latency.max))
end
