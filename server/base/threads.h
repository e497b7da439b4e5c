// The one way a room's own thread is told to stop: a flag set under the
// mutex its loop waits with, the waiters woken, the thread joined.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

namespace tovix::server {

inline void stop_thread(std::mutex& mutex, bool& stopping, std::condition_variable& wake,
                        std::thread& thread) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    if (thread.joinable())
        thread.join();
}

} // namespace tovix::server
