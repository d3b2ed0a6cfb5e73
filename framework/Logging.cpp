#include "Logging.h"

#include <sys/time.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string_view>

#include "PrintableText.h"

namespace {

constexpr int kInitialThreshold = 2;

struct Thresholds {
    // Guards byModule and defaultThreshold; held only for lookups and updates.
    std::shared_mutex mutex;
    std::map<std::string, int, std::less<>> byModule;
    int defaultThreshold = kInitialThreshold;
    // The highest threshold in force anywhere, so that loggingOnAppUni can refuse most traces
    // without taking the mutex.
    std::atomic<int> highest{kInitialThreshold};

    void recomputeHighest() {
        int top = defaultThreshold;
        for (const auto& entry : byModule) top = std::max(top, entry.second);
        highest.store(top);
    }
};

Thresholds& thresholds() {
    static Thresholds* instance = new Thresholds;  // never destroyed: may log during exit
    return *instance;
}

struct SinkHolder {
    // Shared while a message is handed to the sink, exclusive while the sink is replaced.
    std::shared_mutex mutex;
    LogSink sink;
};

SinkHolder& sinkHolder() {
    static SinkHolder* instance = new SinkHolder;  // never destroyed: may log during exit
    return *instance;
}

void writeToStandardError(const LogRecord& record) {
    std::string line = formatLogLine(record);
    line += '\n';
    // One write per line, so that lines of concurrent threads do not interleave.
    ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
}

std::string formatMessage(const char* format, va_list args) {
    va_list measure;
    va_copy(measure, args);
    char small[256];
    int length = std::vsnprintf(small, sizeof small, format, measure);
    va_end(measure);
    if (length < 0) return {};
    if (static_cast<size_t>(length) < sizeof small) return std::string(small, length);
    std::string message(static_cast<size_t>(length), '\0');
    std::vsnprintf(message.data(), message.size() + 1, format, args);
    return message;
}

// Every byte of text that is not printable ASCII, nor in a printable UTF-8 character, as \xNN:
// nothing a peer named acts on the terminal of whoever reads the log.
void appendEscaped(std::string& line, std::string_view text) {
    static const char hex[] = "0123456789abcdef";
    for (std::size_t at = 0; at < text.size(); ++at) {
        const char c = text[at];
        const auto byte = static_cast<unsigned char>(c);
        const std::size_t utf8 = printableUtf8At(text, at);
        if (utf8 > 0) {
            line.append(text.substr(at, utf8));
            at += utf8 - 1;
        } else if (byte >= 0x20 && byte < 0x7f) {
            line += c;
        } else {
            line += "\\x";
            line += hex[byte >> 4];
            line += hex[byte & 0xf];
        }
    }
}

}  // namespace

std::string logTimestamp() {
    timeval now{};
    gettimeofday(&now, nullptr);
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    char text[32];
    size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%03ldZ",
                  static_cast<long>(now.tv_usec / 1000));
    return text;
}

bool loggingOnAppUni(const char* module, int level) {
    Thresholds& all = thresholds();
    if (level > all.highest.load(std::memory_order_relaxed)) return false;
    std::shared_lock<std::shared_mutex> lock(all.mutex);
    auto found = all.byModule.find(std::string_view(module ? module : ""));
    int threshold = found != all.byModule.end() ? found->second : all.defaultThreshold;
    return level <= threshold;
}

void logAppUni(const char* module, const char* sourceFile, int level, int line, const char* format,
               ...) {
    va_list args;
    va_start(args, format);
    LogRecord record{module ? module : "", sourceFile ? sourceFile : "", level, line,
                     format ? formatMessage(format, args) : std::string()};
    va_end(args);

    SinkHolder& holder = sinkHolder();
    std::shared_lock<std::shared_mutex> lock(holder.mutex);
    if (holder.sink) {
        holder.sink(record);
    } else {
        writeToStandardError(record);
    }
}

void setDefaultLogThreshold(int threshold) {
    Thresholds& all = thresholds();
    std::unique_lock<std::shared_mutex> lock(all.mutex);
    all.defaultThreshold = threshold;
    all.recomputeHighest();
}

void setLogThreshold(const std::string& module, int threshold) {
    Thresholds& all = thresholds();
    std::unique_lock<std::shared_mutex> lock(all.mutex);
    all.byModule[module] = threshold;
    all.recomputeHighest();
}

void resetLogThresholds() {
    Thresholds& all = thresholds();
    std::unique_lock<std::shared_mutex> lock(all.mutex);
    all.byModule.clear();
    all.defaultThreshold = kInitialThreshold;
    all.recomputeHighest();
}

void setLogSink(LogSink sink) {
    SinkHolder& holder = sinkHolder();
    std::unique_lock<std::shared_mutex> lock(holder.mutex);
    holder.sink = std::move(sink);
}

std::string formatLogLine(const LogRecord& record) {
    return logTimestamp() + ' ' + formatUntimedLogLine(record);
}

std::string formatUntimedLogLine(const LogRecord& record) {
    std::string line = "L" + std::to_string(record.level) + ' ';
    appendEscaped(line, record.module);
    line += ' ';
    appendEscaped(line, record.sourceFile);
    line += ':' + std::to_string(record.line) + ' ';
    std::string_view message = record.message;
    // Formats may end with a line feed of their own; the line ends with the one it gets anyway.
    if (!message.empty() && message.back() == '\n') message.remove_suffix(1);
    appendEscaped(line, message);
    return line;
}
