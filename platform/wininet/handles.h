/*
 * Internet handles of the host WinInet layer: the objects behind session and
 * request handles, and the table that hands out their HINTERNET values.
 *
 * A handle value encodes a table index and that slot's generation, so a
 * closed, stale or made-up value finds nothing instead of freed memory. The
 * table holds one reference to each live object; every call working on an
 * object holds another for as long as it runs. Closing takes the handle out
 * of the table, marks the object closed and wakes the call blocked on it; the
 * object itself goes when the last call drops its reference. The table's lock
 * is held only while the table changes, never across a callback or a network
 * wait.
 */
#ifndef TOVIX_PLATFORM_WININET_HANDLES_H
#define TOVIX_PLATFORM_WININET_HANDLES_H

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <memory>
#include <vector>

namespace tovix::wininet {

enum class Kind { Session, Request };

// Defaults for timeouts nobody has set. WinInet's own defaults allow a
// server to hold a call for ever; these don't.
constexpr DWORD kDefaultConnectTimeoutMs = 60000;
constexpr DWORD kDefaultSendTimeoutMs = 30000;
constexpr DWORD kDefaultReceiveTimeoutMs = 30000;

class Object {
  public:
    explicit Object(Kind kind) : kind(kind) {}
    virtual ~Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    // Wakes a call blocked on this object after it has been marked closed.
    // Must not block.
    virtual void Wake() {}

    const Kind kind;
    HINTERNET handle = nullptr; // set once, when the object is registered
    std::atomic<bool> closed{false};
    std::atomic<INTERNET_STATUS_CALLBACK> callback{nullptr};
    std::atomic<DWORD> connectTimeoutMs{kDefaultConnectTimeoutMs};
    std::atomic<DWORD> sendTimeoutMs{kDefaultSendTimeoutMs};
    std::atomic<DWORD> receiveTimeoutMs{kDefaultReceiveTimeoutMs};
};

// Registers an object and returns its handle. With a parent, the object is
// closed together with it; a parent that is already closed makes this fail
// with ERROR_INTERNET_OPERATION_CANCELLED. A full table fails with
// ERROR_INTERNET_OUT_OF_HANDLES.
HINTERNET RegisterHandle(const std::shared_ptr<Object>& object, const Object* parent, DWORD* error);

// The live object behind a handle, or null.
std::shared_ptr<Object> LookupHandle(HINTERNET handle);

// Takes a handle and its children out of the table and marks them closed.
// Returns them, children first, or nothing when the handle is not live.
std::vector<std::shared_ptr<Object>> RemoveHandle(HINTERNET handle);

size_t HandleCapacity();
size_t LiveHandleCount();

} // namespace tovix::wininet

namespace tovix {
// For tests: the size of the handle table, the handles open now, and the
// most body bytes any request has held in its buffer since the last reset.
size_t InternetHandleCapacity();
size_t InternetLiveHandleCount();
size_t InternetPeakBufferedBytes();
void ResetInternetPeakBufferedBytes();
} // namespace tovix

#endif
