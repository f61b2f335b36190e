// Captures what the daemon logs, for tests that check message texts.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "core/log.h"

class LogCapture {
public:
    LogCapture(int level = 7)
    {
        saved_level = log_level;
        log_level = level;
        std::lock_guard<std::mutex> lock(mutex());
        lines().clear();
        log_set_sink(&LogCapture::sink);
    }
    ~LogCapture()
    {
        log_set_sink(nullptr);
        log_level = saved_level;
    }

    std::vector<std::string> all() const
    {
        std::lock_guard<std::mutex> lock(mutex());
        return lines();
    }
    // True when some line contains text.
    bool contains(const std::string& text) const
    {
        for (const auto& l : all())
            if (l.find(text) != std::string::npos)
                return true;
        return false;
    }
    size_t count(const std::string& text) const
    {
        size_t n = 0;
        for (const auto& l : all())
            n += l.find(text) != std::string::npos;
        return n;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex());
        lines().clear();
    }

private:
    static std::mutex& mutex()
    {
        static std::mutex m;
        return m;
    }
    static std::vector<std::string>& lines()
    {
        static std::vector<std::string> l;
        return l;
    }
    static void sink(int, const char* text)
    {
        std::lock_guard<std::mutex> lock(mutex());
        lines().emplace_back(text);
    }
    int saved_level;
};
