/*
 * Lines of text that several threads add to, in the order they come, and
 * that a test thread can wait for: what a dialog's observer or procedure
 * saw, for the dialog tests.
 */
#ifndef TOVIX_TESTS_SUPPORT_LINE_LOG_H
#define TOVIX_TESTS_SUPPORT_LINE_LOG_H

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

class LineLog {
  public:
    void Add(const std::string& line);
    void Clear();
    std::vector<std::string> Lines();
    // The last line, or "" when there is none.
    std::string Last();
    // Waits (bounded) until a line equal to text has been added, and
    // returns whether it was.
    bool WaitFor(const std::string& text);

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
};

#endif
