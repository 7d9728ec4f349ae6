#pragma once
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// The run configuration read from RoDizRun.cfg. Only keys present in the file
// are written, so a second read keeps every other field as it was.
struct TagRunCfg {
  TagRunCfg();

  int isDispSente = 1;
  int virLinesNum = 2;
  int totalLinesNum = 0;
  std::string title1, title2, title3;  // GB bytes
  std::string formTitle;
  uint8_t languageType = 0;  // 0 Chinese, 1 English
  uint8_t isShowForm = 1;
  int colGroupNum = 1;
  int monitorPort = 2004;
  int monitorMaxConn = 0;
  int isWriteLog = 0;
  int isImmediateLog = 1;
  int isDispTalkTime = 0;
  int loadDelay = 125;
  int dispDelay = 500;
  std::string logFile = "msg_log.txt";
  uint32_t logSize = 2100000;
  int maxMsgNum = 2048;
};

// The one process-wide record, with its defaults from start-up.
extern TagRunCfg runCfg;

// Process-wide values written by the reader beside the record.
extern std::atomic<int> logLevel;
extern std::atomic<int> msgQueueLimit;   // message-queue limit (0: none)
extern std::atomic<int> dbPoolSize;      // connection pool size (0 or less: no pool)
extern std::atomic<uint8_t> dbBitfieldIsDigit;

// Most numbers one line list yields; also the most virtual lines.
constexpr size_t kMaxLineListEntries = 5120;
// Longest pause between two line loads, in ms: a larger one would keep the
// lines from starting for days.
constexpr int kMaxLoadDelayMs = 60000;
// Longest configuration line kept; a list of every line number fits easily.
constexpr size_t kMaxCfgLineBytes = 65536;

// 0 read to the end, -1 no record, -2 cannot open, -3 lines overlap.
// Boxes and log lines about the file's faults are shown unless quiet (a read
// made before the log exists, repeated later by the line manager).
int ReadCfgFile(const std::string& fileName, TagRunCfg* record, bool quiet = false);

// One line of a configuration file, without its newline, into line; false at
// the end of the file. A line longer than kMaxCfgLineBytes is read to its end but
// comes back empty with tooLong set.
bool ReadCfgLine(FILE* f, std::string* line, bool* tooLong);

// Numbers of one line list (blanks already removed), in order; at most
// kMaxLineListEntries, the rest dropped with a log line.
std::vector<int> ParseLineList(std::string_view text);

// What a line list names other than the user meant: items that are not
// numbers (read as the number they begin with, or 0) and ranges that run
// backwards (they name no line). One text per fault, for the log.
std::vector<std::string> LineListFaults(std::string_view text);

// One configuration line made ready for parsing: blanks and tabs removed,
// cut at the newline and at a leading "//" comment (see ReadCfgFile).
std::string CleanCfgLine(std::string_view raw);

// The C library's reading of a number's leading sign and digits, clamped to
// the int range.
int CfgNumber(std::string_view value);
// True when the value is a whole number as written (a sign and digits only).
bool IsCfgNumber(std::string_view value);
// "YES", "TRUE" or "1" in any case.
bool CfgYes(std::string_view value);
