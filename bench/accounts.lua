-- wrk script for bench/accounts_scale.py: updates signed in with each host's
-- own token, from a file whose lines are "HOST BASIC ADDRESS" (BASIC the
-- base64 of "HOST:TOKEN", ADDRESS the one the host holds). Run with as many
-- threads as connections; line N goes to thread (N - 1) % C, so each
-- connection owns its own hosts.
--
--   wrk -tC -cC -d... -s accounts.lua URL -- touch FILE C
--       every host once with the address it holds (each answer nochg:
--       nothing is written but the host's last-seen time), then the
--       thread stops.
--   wrk -tC -cC -d... -s accounts.lua URL -- record FILE C LEVEL OUT
--       round after round over the hosts, each update with an address of
--       its own (every answer good, so each waits for its commit); thread
--       I writes one line per answer to OUT.I: the moment the request was
--       made and its latency (CLOCK_MONOTONIC, microseconds), the status,
--       and 1 for good.
-- done() prints one "BENCH key=value ..." line.
local ffi = require("ffi")
ffi.cdef [[
    typedef struct { long tv_sec; long tv_nsec; } bench_timespec;
    int clock_gettime(int clock, bench_timespec* t);
]]
local clock = ffi.new("bench_timespec")
local function now_us()
    ffi.C.clock_gettime(1, clock) -- CLOCK_MONOTONIC, as Python's time.monotonic()
    return tonumber(clock.tv_sec) * 1000000 + math.floor(tonumber(clock.tv_nsec) / 1000)
end

local threads = {}
local next_id = 0

function setup(thread)
    thread:set("id", next_id)
    next_id = next_id + 1
    table.insert(threads, thread)
end

function init(args)
    mode = args[1]
    local connections = tonumber(args[3])
    level = tonumber(args[4] or "0")
    hosts, auth, held = {}, {}, {}
    local n = 0
    for line in io.lines(args[2]) do
        local host, basic, address = line:match("^(%S+) (%S+) (%S+)$")
        if n % connections == id then
            table.insert(hosts, host)
            auth[host] = "Basic " .. basic
            held[host] = address
        end
        n = n + 1
    end
    if mode == "record" then
        out = io.open(args[5] .. "." .. id, "w")
    end
    sent, good, nochg, other = 0, 0, 0, 0
end

function request()
    if mode == "touch" and sent >= #hosts then
        wrk.thread:stop()
    end
    local host = hosts[(sent % #hosts) + 1]
    local address = held[host]
    if mode == "record" then
        address = string.format("fd01::%x:%x:%x:%x", level, id, math.floor(sent / 65536),
            sent % 65536)
    end
    sent = sent + 1
    started = now_us()
    return wrk.format("GET", "/nic/update?hostname=" .. host .. "&myip=" .. address,
        { ["Authorization"] = auth[host], ["User-Agent"] = "bench/1" })
end

function response(status, headers, body)
    local ok = 0
    if status == 200 and body:sub(1, 5) == "good " then
        good = good + 1
        ok = 1
    elseif status == 200 and body:sub(1, 6) == "nochg " then
        nochg = nochg + 1
    else
        other = other + 1
    end
    if out then
        out:write(string.format("%d %d %d %d\n", started, now_us() - started, status, ok))
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
        "errors_timeout=%d p50_us=%d p99_us=%d max_us=%d\n",
        #threads, summary.requests, summary.duration, g, n, o, e.connect, e.read, e.write,
        e.status, e.timeout, latency:percentile(50), latency:percentile(99), latency.max))
end
