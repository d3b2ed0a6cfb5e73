#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "Logging.h"

struct CapturedLine {
    std::string module;
    std::string sourceFile;
    int level;
    int line;
    std::string message;
};

// Records every log line written while it lives, from any thread, instead of printing it, and
// sets the threshold of the modules under test. Restores the default sink and thresholds.
class LogCapture {
public:
    explicit LogCapture(int threshold = 6);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<CapturedLine> lines() const;
    std::vector<std::string> messages() const;
    // How many of the messages hold part.
    std::size_t holding(const std::string& part) const;
    void clear();

private:
    mutable std::mutex mutex;  // guards captured
    std::vector<CapturedLine> captured;
};
