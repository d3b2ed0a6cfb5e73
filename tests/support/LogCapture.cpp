#include "LogCapture.h"

LogCapture::LogCapture(int threshold) {
    setDefaultLogThreshold(threshold);
    setLogSink([this](const LogRecord& record) {
        std::lock_guard<std::mutex> lock(mutex);
        captured.push_back(
            {record.module, record.sourceFile, record.level, record.line, record.message});
    });
}

LogCapture::~LogCapture() {
    setLogSink(nullptr);
    resetLogThresholds();
}

std::vector<CapturedLine> LogCapture::lines() const {
    std::lock_guard<std::mutex> lock(mutex);
    return captured;
}

std::vector<std::string> LogCapture::messages() const {
    std::vector<std::string> texts;
    for (const CapturedLine& line : lines()) texts.push_back(line.message);
    return texts;
}

std::size_t LogCapture::holding(const std::string& part) const {
    std::size_t count = 0;
    for (const std::string& message : messages()) count += message.find(part) != std::string::npos;
    return count;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(mutex);
    captured.clear();
}
