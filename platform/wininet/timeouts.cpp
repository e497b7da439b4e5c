/*
 * The timeouts of a WinInet request (see request.h).
 *
 * Timeouts: the connect timeout bounds each new connection (libcurl's
 * connect timeout, name lookup included). The receive timeout bounds the
 * time one call spends waiting for the server once a request is on its way,
 * whatever arrives meanwhile: a server that never answers, drips or stalls
 * makes the call fail with ERROR_INTERNET_TIMEOUT. Time spent in status
 * callbacks does not count. The send timeout is kept but has nothing to
 * bound: the request is a small GET that libcurl writes in one go as soon as
 * the connection is ready.
 *
 * For tests, TOVIX_WININET_TIMEOUT_CAP_MS (milliseconds) caps every
 * timeout, set or default.
 */
#include "wininet/request.h"

#include "driver/driver.h"

#include <stdlib.h>

#include <algorithm>

namespace tovix::wininet {

namespace {

long long ReadTimeoutCap() {
    std::string text = Environment("TOVIX_WININET_TIMEOUT_CAP_MS");
    if (text.empty()) {
        return -1;
    }
    char* end = nullptr;
    long long value = strtoll(text.c_str(), &end, 10);
    return (*end == '\0' && value > 0) ? value : -1;
}

} // namespace

long long EffectiveTimeoutMs(DWORD value) {
    static const long long cap = ReadTimeoutCap();
    long long ms = (value == 0 || value == INFINITE) ? -1 : static_cast<long long>(value);
    if (cap >= 0) {
        ms = ms < 0 ? cap : std::min(ms, cap);
    }
    return ms;
}

Budget::Budget(long long ms)
    : unlimited_(ms < 0), left_(std::chrono::milliseconds(ms < 0 ? 0 : ms)) {}

bool Budget::Expired() const {
    return !unlimited_ && left_ <= std::chrono::steady_clock::duration::zero();
}

int Budget::WaitMs(int cap) const {
    if (unlimited_) {
        return cap;
    }
    long long ms = std::chrono::ceil<std::chrono::milliseconds>(left_).count();
    return static_cast<int>(std::clamp<long long>(ms, 0, cap));
}

void Budget::Spend(std::chrono::steady_clock::duration spent) {
    if (!unlimited_) {
        left_ -= spent;
    }
}

} // namespace tovix::wininet
