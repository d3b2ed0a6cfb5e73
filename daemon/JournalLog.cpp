#include "JournalLog.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Logging.h"
#include "ServiceRegistry/RegistryHost.h"

bool standardErrorIsJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    struct stat status {};
    if (stream == nullptr || fstat(STDERR_FILENO, &status) != 0) return false;
    unsigned long long device = 0, inode = 0;
    return std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
           device == static_cast<unsigned long long>(status.st_dev) &&
           inode == static_cast<unsigned long long>(status.st_ino);
}

int syslogPriority(int level) {
    constexpr int kCritical = 2, kError = 3, kNotice = 5, kInfo = 6, kDebug = 7;
    if (level < 2) return kCritical;
    if (level == 2) return kError;
    if (level == 3) return kNotice;
    return level == 4 ? kInfo : kDebug;
}

void logToStandardError(bool journal) {
    setLogSink([journal](const LogRecord& handed) {
        LogRecord record = handed;
        std::string heldNote;
        if (!svcreg::RegistryHost::boundLogLine(record, heldNote)) return;
        std::string lines;
        const auto add = [&](const LogRecord& each) {
            lines += journal ? "<" + std::to_string(syslogPriority(each.level)) + ">" +
                                   formatUntimedLogLine(each)
                             : formatLogLine(each);
            lines += '\n';
        };
        if (!heldNote.empty()) add(LogRecord{"svcregd", __FILE__, 2, __LINE__, heldNote});
        add(record);
        // One write, so that lines of concurrent threads do not interleave.
        [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, lines.data(), lines.size());
    });
}
