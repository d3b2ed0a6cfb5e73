#pragma once

#include <functional>
#include <string>

#include "FrameworkExport.h"

// Levels run from 0 (most severe) upwards; components use 2 for failures and 3 to 6 for ever
// finer traces. A message of level L is wanted for a module when L is at most the module's
// threshold.

// True when messages of this level are wanted for this module. Cheap when they are not.
FRAMEWORK_API bool loggingOnAppUni(const char* module, int level);

// Formats the message printf-style and hands it to the sink. It does not ask loggingOnAppUni:
// callers ask first for traces and write failures unconditionally.
FRAMEWORK_API void logAppUni(const char* module, const char* sourceFile, int level, int line,
                             const char* format, ...) __attribute__((format(printf, 5, 6)));

struct LogRecord {
    const char* module;
    const char* sourceFile;
    int level;
    int line;
    std::string message;
};

using LogSink = std::function<void(const LogRecord&)>;

// The threshold of modules that have none of their own. Initially 2: failures only.
FRAMEWORK_API void setDefaultLogThreshold(int threshold);
FRAMEWORK_API void setLogThreshold(const std::string& module, int threshold);
// Forgets every per-module threshold and restores the initial default.
FRAMEWORK_API void resetLogThresholds();

// Replaces the sink; an empty one restores the default, which writes one line per message to
// standard error. The sink may be called from several threads at once; once setLogSink has
// returned, the sink it replaced is no longer called. A sink must neither log nor set the sink.
FRAMEWORK_API void setLogSink(LogSink sink);

// The line the default sink writes for a record, without its line feed: time, level, module,
// file:line and the message, with control characters escaped so that one message is one line.
FRAMEWORK_API std::string formatLogLine(const LogRecord& record);
// The same line without its time, for a sink that stamps lines itself (the journal).
FRAMEWORK_API std::string formatUntimedLogLine(const LogRecord& record);
// Now, as log lines give the time: UTC to the millisecond, "2026-12-06T20:11:25.123Z".
FRAMEWORK_API std::string logTimestamp();
