#pragma once

/// \file
/// The framework's logging: levels, thresholds per module and a replaceable sink. Every
/// function here may be called from several threads at once.

#include <functional>
#include <string>

#include "FrameworkExport.h"

/// True when messages of this level are wanted for this module. Cheap when they are not.
/// Levels run from 0 (most severe) upwards; components use 2 for failures and 3 to 6 for ever
/// finer traces. A message of level L is wanted for a module when L is at most the module's
/// threshold.
FRAMEWORK_API bool loggingOnAppUni(const char* module, int level);

/// Formats the message printf-style and hands it to the sink, on the calling thread. It does not
/// ask loggingOnAppUni: callers ask first for traces and write failures unconditionally.
FRAMEWORK_API void logAppUni(const char* module, const char* sourceFile, int level, int line,
                             const char* format, ...) __attribute__((format(printf, 5, 6)));

/// One message, as a sink gets it. The pointers are valid for the sink's call only.
struct LogRecord {
    const char* module;      ///< The module that logs.
    const char* sourceFile;  ///< The source file of the call.
    int level;               ///< Its level: 0 most severe, 2 failures, 3 to 6 traces.
    int line;                ///< The source line of the call.
    std::string message;     ///< The formatted message.
};

/// Where messages go: called once per message, from any logging thread (see setLogSink).
using LogSink = std::function<void(const LogRecord&)>;

/// Sets the threshold of modules that have none of their own. Initially 2: failures only.
FRAMEWORK_API void setDefaultLogThreshold(int threshold);
/// Sets module's own threshold.
FRAMEWORK_API void setLogThreshold(const std::string& module, int threshold);
/// Forgets every per-module threshold and restores the initial default.
FRAMEWORK_API void resetLogThresholds();

/// Replaces the sink; an empty one restores the default, which writes one line per message to
/// standard error. The sink may be called from several threads at once; once setLogSink has
/// returned, the sink it replaced is no longer called. A sink must neither log nor set the sink.
FRAMEWORK_API void setLogSink(LogSink sink);

/// The line the default sink writes for a record, without its line feed: time, level, module,
/// file:line and the message, with control characters escaped so that one message is one line.
FRAMEWORK_API std::string formatLogLine(const LogRecord& record);
/// The same line without its time, for a sink that stamps lines itself (the journal).
FRAMEWORK_API std::string formatUntimedLogLine(const LogRecord& record);
/// Now, as log lines give the time: UTC to the millisecond, "2026-12-06T20:11:25.123Z".
FRAMEWORK_API std::string logTimestamp();
