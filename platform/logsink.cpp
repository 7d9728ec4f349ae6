#include "platform/logsink.h"

#include "platform/format.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace plat {
namespace {

std::atomic<LogSink> g_sink{nullptr};

void VLog(LogKind kind, const char* fmt, va_list ap) {
  LogSink sink = g_sink.load();
  if (!sink) return;
  sink(kind, VFormat(fmt, ap).c_str());
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
