#include "line_log.h"

#include <algorithm>
#include <chrono>

void LineLog::Add(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(line);
    changed_.notify_all();
}

void LineLog::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

std::vector<std::string> LineLog::Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

std::string LineLog::Last() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_.empty() ? std::string() : lines_.back();
}

bool LineLog::WaitFor(const std::string& text) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(20), [&] {
        return std::find(lines_.begin(), lines_.end(), text) != lines_.end();
    });
}
