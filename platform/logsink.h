#pragma once
// Log lines of the platform layer. The program log sits above this layer and
// installs itself as the sink when its writer is set; until then the lines
// are dropped.
#include <string>

namespace plat {

enum class LogKind {
  Normal,  // only when the log level is not 0
  Always,
  Raw,  // the raw trace
};

using LogSink = void (*)(LogKind kind, const char* text);
void SetLogSink(LogSink sink);

void Log(LogKind kind, const char* text);
inline void Log(const std::string& text) { Log(LogKind::Normal, text.c_str()); }
inline void LogAlways(const std::string& text) { Log(LogKind::Always, text.c_str()); }
inline void RawLog(const std::string& text) { Log(LogKind::Raw, text.c_str()); }
void LogF(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void LogAlwaysF(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace plat
