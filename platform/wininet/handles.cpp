/*
 * The handle table of the host WinInet layer (see handles.h). Fixed size:
 * 1024 live handles at most, far more than a program with one session and
 * one request needs. A handle value is (index + 1) | generation << 16, never
 * 0; a slot's generation moves on each time the slot is freed, and freed
 * slots are reused round-robin, so a stale value stays stale for a long time.
 */
#include "wininet/handles.h"

#include <mutex>

namespace tovix::wininet {

namespace {

constexpr size_t kCapacity = 1024;
constexpr unsigned kIndexBits = 16;

struct Slot {
    std::shared_ptr<Object> object;
    const Object* parent = nullptr;
    uintptr_t generation = 1;
};

std::mutex g_mutex;
Slot g_slots[kCapacity];
size_t g_next = 0;
size_t g_live = 0;

HINTERNET Encode(size_t index, uintptr_t generation) {
    return reinterpret_cast<HINTERNET>((index + 1) | (generation << kIndexBits));
}

// The slot index of a live handle; kCapacity when there is none. Needs g_mutex.
size_t Find(HINTERNET handle) {
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    size_t index = (value & ((uintptr_t(1) << kIndexBits) - 1));
    if (index == 0 || index > kCapacity) {
        return kCapacity;
    }
    --index;
    const Slot& slot = g_slots[index];
    if (!slot.object || Encode(index, slot.generation) != handle) {
        return kCapacity;
    }
    return index;
}

// Needs g_mutex.
void Free(size_t index, std::vector<std::shared_ptr<Object>>* removed) {
    Slot& slot = g_slots[index];
    slot.object->closed.store(true);
    removed->push_back(std::move(slot.object));
    slot.object.reset();
    slot.parent = nullptr;
    // Wraps long after any handle of the old generation could matter.
    slot.generation = (slot.generation + 1) & (~uintptr_t(0) >> kIndexBits);
    if (slot.generation == 0) {
        slot.generation = 1;
    }
    --g_live;
}

} // namespace

HINTERNET RegisterHandle(const std::shared_ptr<Object>& object, const Object* parent,
                         DWORD* error) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (parent && parent->closed.load()) {
        *error = ERROR_INTERNET_OPERATION_CANCELLED;
        return nullptr;
    }
    for (size_t n = 0; n < kCapacity; ++n) {
        size_t index = (g_next + n) % kCapacity;
        Slot& slot = g_slots[index];
        if (!slot.object) {
            slot.object = object;
            slot.parent = parent;
            g_next = (index + 1) % kCapacity;
            ++g_live;
            object->handle = Encode(index, slot.generation);
            return object->handle;
        }
    }
    *error = ERROR_INTERNET_OUT_OF_HANDLES;
    return nullptr;
}

std::shared_ptr<Object> LookupHandle(HINTERNET handle) {
    std::lock_guard<std::mutex> lock(g_mutex);
    size_t index = Find(handle);
    return index == kCapacity ? nullptr : g_slots[index].object;
}

std::vector<std::shared_ptr<Object>> RemoveHandle(HINTERNET handle) {
    std::vector<std::shared_ptr<Object>> removed;
    std::lock_guard<std::mutex> lock(g_mutex);
    size_t index = Find(handle);
    if (index == kCapacity) {
        return removed;
    }
    const Object* object = g_slots[index].object.get();
    for (size_t i = 0; i < kCapacity; ++i) {
        if (g_slots[i].object && g_slots[i].parent == object) {
            Free(i, &removed);
        }
    }
    Free(index, &removed);
    return removed;
}

size_t HandleCapacity() {
    return kCapacity;
}

size_t LiveHandleCount() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_live;
}

} // namespace tovix::wininet
