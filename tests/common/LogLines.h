// A sink of the framework log that keeps the lines of the levels it is given,
// for tests that check what was logged.
#ifndef BRISKO_TESTS_LOG_LINES_H
#define BRISKO_TESTS_LOG_LINES_H

#include <mutex>
#include <string>
#include <vector>

#include "ostrel/Log.h"

class LogLines : public Ostrel::StreamItem {
public:
    explicit LogLines(unsigned short mask = 0xFF) : Ostrel::StreamItem(mask)
    {
        Ostrel::Logger::instance()->add_stream(this);
    }
    // Leaves the log before the lines go, not after.
    ~LogLines() override { Ostrel::Logger::instance()->remove_stream(this); }

    long write(const char* text, size_t count) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        lines.emplace_back(text, count);
        return static_cast<long>(count);
    }
    // Every line so far, each with its line end.
    std::vector<std::string> get()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return lines;
    }
    // Whether the line (given without its line end) was logged.
    bool has(const std::string& line)
    {
        for (const std::string& l : get())
            if (l == line + "\n")
                return true;
        return false;
    }

private:
    std::mutex mutex;
    std::vector<std::string> lines;
};

#endif
