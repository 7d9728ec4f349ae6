#include "core/runcfg.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

#include "core/log.h"
#include "platform/msgbox.h"
#include "platform/path.h"
#include "platform/text.h"

TagRunCfg::TagRunCfg()
    : title1(plat::Utf8ToGbk("用户消息1")),
      title2(plat::Utf8ToGbk("用户消息2")),
      title3(plat::Utf8ToGbk("用户消息3")) {}

TagRunCfg runCfg;
std::atomic<int> logLevel{0};
std::atomic<int> msgQueueLimit{2048};
std::atomic<int> dbPoolSize{0};
std::atomic<uint8_t> dbBitfieldIsDigit{0};

namespace {

std::string Upper(std::string_view s) {
  std::string u(s);
  for (char& c : u)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return u;
}

}  // namespace

int CfgNumber(std::string_view value) {
  std::string s(value);
  errno = 0;
  long long v = std::strtoll(s.c_str(), nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

bool CfgYes(std::string_view value) {
  std::string u = Upper(value);
  return u == "YES" || u == "TRUE" || u == "1";
}

std::vector<int> ParseLineList(std::string_view text) {
  std::vector<int> out;
  bool truncated = false;
  auto append = [&](long long n) {
    if (out.size() >= kMaxLineListEntries) {
      truncated = true;
      return false;
    }
    out.push_back(static_cast<int>(n));
    return true;
  };
  std::string cur;
  bool pending = false;
  char mark = 0;
  long long first = 0;
  auto endNumber = [&]() {
    long long n = CfgNumber(cur);
    cur.clear();
    if (!pending) {
      append(n);
      return;
    }
    pending = false;
    if (!out.empty()) out.pop_back();  // the range's first number, taken back
    // Counted in 64 bits; the entry cap ends even "0-2147483647" after a few
    // thousand steps, since every second number at least is taken.
    for (long long k = first; k <= n; ++k) {
      bool take = mark == '-' || (mark == '+' && (k % 2 != 0)) || (mark == '*' && (k % 2 == 0));
      if (take && !append(k)) break;
    }
  };
  for (char c : text) {
    if (c == ',') {
      endNumber();
    } else if (c == '-' || c == '+' || c == '*') {
      // A mark ends the range's first number, which stands alone until the range closes.
      long long n = CfgNumber(cur);
      cur.clear();
      // A second mark before "," makes this number the range's start.
      append(n);
      first = n;
      mark = c;
      pending = true;
    } else {
      cur.push_back(c);
    }
  }
  if (!cur.empty()) endNumber();
  if (truncated) LogAlways("Line list longer than 5120 lines: the rest is ignored");
  return out;
}

std::string CleanCfgLine(std::string_view raw) {
  std::string line;
  line.reserve(raw.size());
  for (char c : raw) {
    if (c == '\n') break;
    // Files edited on Windows end their lines with CR.
    if (c == ' ' || c == '\t' || c == '\r') continue;
    line.push_back(c);
  }
  size_t slash = line.find('/');
  if (slash != std::string::npos && slash + 1 < line.size() && line[slash + 1] == '/') line.resize(slash);
  return line;
}

bool ReadCfgLine(FILE* f, std::string* line, bool* tooLong) {
  line->clear();
  *tooLong = false;
  bool any = false;
  int c;
  while ((c = std::getc(f)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (*tooLong) continue;  // read on to the end: the tail is never a line of its own
    if (line->size() >= kMaxCfgLineBytes) {
      *tooLong = true;
      std::string().swap(*line);
      continue;
    }
    line->push_back(static_cast<char>(c));
  }
  return any;
}

int ReadCfgFile(const std::string& fileName, TagRunCfg* rec, bool quiet) {
  if (!rec) return -1;
  FILE* f = plat::OpenFile(fileName, "r");
  if (!f) {
    RawLog("ReadCfgFile Err");
    return -2;
  }
  std::unordered_set<int> seen;
  std::string raw;
  bool tooLong = false;
  int lineNo = 0;
  int result = 0;
  while (ReadCfgLine(f, &raw, &tooLong)) {
    ++lineNo;
    if (tooLong) {
      if (!quiet)
        LogAlwaysF("%s line %d is longer than %zu bytes: ignored", fileName.c_str(), lineNo, kMaxCfgLineBytes);
      continue;
    }
    std::string line = CleanCfgLine(raw);
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq);
    std::string value = line.substr(eq + 1);
    if (!key.empty() && key[0] >= '0' && key[0] <= '9') {
      bool overlap = false;
      for (int n : ParseLineList(key)) {
        if (!seen.insert(n).second) {
          overlap = true;
          break;
        }
      }
      if (overlap) {
        if (!quiet) plat::MessageBox("Corvane System", "Error : RoDizRun.Cfg : lines overlap", plat::kBoxIconError);
        result = -3;
        break;
      }
      continue;
    }
    key = Upper(key);
    if (key == "IS_DISP_SENTE") {
      rec->isDispSente = CfgYes(value) ? 1 : (Upper(value) == "NOTE" ? 2 : 0);
    } else if (key == "VIR_LINES_NUM") {
      int n = CfgNumber(value);
      constexpr int kMost = static_cast<int>(kMaxLineListEntries);
      if (n > kMost) {
        if (!quiet) LogAlwaysF("VIR_LINES_NUM %d is too many: %d used", n, kMost);
        n = kMost;
      }
      rec->virLinesNum = n;
    } else if (key == "TOTAL_LINES_NUM") {
      rec->totalLinesNum = CfgNumber(value);
    } else if (key == "TITLE1") {
      rec->title1 = value;
    } else if (key == "TITLE2") {
      rec->title2 = value;
    } else if (key == "TITLE3") {
      rec->title3 = value;
    } else if (key == "FORM_TITLE") {
      rec->formTitle = value;
    } else if (key == "LANGUAGE_TYPE") {
      std::string u = Upper(value);
      rec->languageType = (u == "ENGLISH" || u == "EN") ? 1 : 0;
    } else if (key == "IS_SHOW_FORM") {
      rec->isShowForm = CfgYes(value) ? 1 : 0;
    } else if (key == "COL_GROUP_NUM") {
      int n = CfgNumber(value);
      if (n >= 1 && n <= 10) rec->colGroupNum = n;
    } else if (key == "MONITOR_PORT") {
      int n = CfgNumber(value);
      if (n > 0 && n <= 65535) rec->monitorPort = n;
    } else if (key == "MONITOR_MAX_CONN") {
      int n = CfgNumber(value);
      if (n <= 10) rec->monitorMaxConn = n;
    } else if (key == "IS_WRITE_LOG") {
      rec->isWriteLog = CfgYes(value) ? 1 : CfgNumber(value);
      logLevel = rec->isWriteLog;
    } else if (key == "IS_IMMEDIATE_LOG") {
      rec->isImmediateLog = CfgYes(value) ? 1 : CfgNumber(value);
    } else if (key == "IS_DISP_TALKTIME") {
      rec->isDispTalkTime = CfgYes(value) ? 1 : CfgNumber(value);
    } else if (key == "LOG_FILE") {
      rec->logFile = value;
    } else if (key == "LOG_SIZE") {
      int mb = CfgNumber(value);
      if (mb < 2) mb = 2;
      if (mb > 80) mb = 80;
      rec->logSize = static_cast<uint32_t>(mb) * 1048576u;
    } else if (key == "MAX_MSG_NUM") {
      rec->maxMsgNum = CfgNumber(value);
      msgQueueLimit = rec->maxMsgNum;
    } else if (key == "LOAD_DELAY") {
      int n = CfgNumber(value);
      if (n > kMaxLoadDelayMs) {
        if (!quiet) LogAlwaysF("LOAD_DELAY %d is too long: %d used", n, kMaxLoadDelayMs);
        n = kMaxLoadDelayMs;
      }
      rec->loadDelay = n < 5 ? 5 : n;
    } else if (key == "DISP_DELAY") {
      int n = CfgNumber(value);
      rec->dispDelay = n < 100 ? 100 : (n > 15000 ? 15000 : n);
    } else if (key == "DB_MAX_CONN") {
      dbPoolSize = CfgNumber(value);
    } else if (key == "DB_BITFIELD_IS_DIGIT") {
      dbBitfieldIsDigit = (CfgYes(value) || CfgNumber(value) != 0) ? 1 : 0;
    }
  }
  std::fclose(f);
  return result;
}
