// The logger's interface as this code calls it, and the log call convention: every
// line carries the calling unit's source path, the line, the name of the function the
// text belongs to, a level and a printf-style text.
#pragma once

#include "jotlog.h"

namespace Zarn {
namespace Support {

enum log_level : int {
    kLogFail = 1,   // the operation failed
    kLogWarn = 2,   // a lesser failure or a refusal the caller handles
    kLogTrace = 4,  // trace
};

}  // namespace Support
}  // namespace Zarn

// ZLOG(level, "functionName", format, ...): one log line from the current unit.
#define ZLOG(level, function, ...) ::LogWrite(__FILE__, __LINE__, (function), (level), __VA_ARGS__)
#define ZLOG_FAIL(function, ...) ZLOG(::Zarn::Support::kLogFail, function, __VA_ARGS__)
#define ZLOG_WARN(function, ...) ZLOG(::Zarn::Support::kLogWarn, function, __VA_ARGS__)
#define ZLOG_TRACE(function, ...) ZLOG(::Zarn::Support::kLogTrace, function, __VA_ARGS__)
