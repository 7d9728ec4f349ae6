#include "platform/logsink.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace plat {
namespace {

std::atomic<LogSink> g_sink{nullptr};

void VLog(LogKind kind, const char* fmt, va_list ap) {
  LogSink sink = g_sink.load();
  if (!sink) return;
  va_list copy;
  va_copy(copy, ap);
  char buf[512];
  int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
  if (n >= 0 && static_cast<size_t>(n) >= sizeof buf) {
    std::string s(static_cast<size_t>(n), '\0');
    std::vsnprintf(s.data(), s.size() + 1, fmt, copy);
    sink(kind, s.c_str());
  } else {
    sink(kind, n > 0 ? buf : "");
  }
  va_end(copy);
}

}  // namespace

void SetLogSink(LogSink sink) { g_sink.store(sink); }

void Log(LogKind kind, const char* text) {
  if (LogSink sink = g_sink.load()) sink(kind, text ? text : "");
}

void LogF(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  VLog(LogKind::Normal, fmt, ap);
  va_end(ap);
}

void LogAlwaysF(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  VLog(LogKind::Always, fmt, ap);
  va_end(ap);
}

}  // namespace plat
