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

bool IsCfgNumber(std::string_view value) {
  size_t i = (!value.empty() && (value[0] == '-' || value[0] == '+')) ? 1 : 0;
  if (i >= value.size()) return false;
  for (; i < value.size(); ++i)
    if (value[i] < '0' || value[i] > '9') return false;
  return true;
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

std::vector<std::string> LineListFaults(std::string_view text) {
  std::vector<std::string> faults;
  std::string cur, rangeText;
  bool pending = false;
  long long first = 0;
  auto endNumber = [&](bool closesItem) {
    if (cur.empty())
      faults.push_back("an empty number: read as 0");
    else if (!IsCfgNumber(cur))
      faults.push_back("'" + cur + "' is not a number: read as " + std::to_string(CfgNumber(cur)));
    long long n = CfgNumber(cur);
    if (pending && closesItem) {
      if (n < first) faults.push_back("'" + rangeText + cur + "' runs backwards: it names no line");
      pending = false;
    }
    cur.clear();
    return n;
  };
  for (char c : text) {
    if (c == ',') {
      endNumber(true);
    } else if (c == '-' || c == '+' || c == '*') {
      // As ParseLineList: a mark makes the number before it a range's start.
      pending = false;
      rangeText = cur + c;
      first = endNumber(false);
      pending = true;
    } else {
      cur.push_back(c);
    }
  }
  if (!cur.empty()) endNumber(true);
  return faults;
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
  // A setting that is not taken as written says so, with its line.
  auto warn = [&](const std::string& why) {
    if (!quiet) LogAlwaysF("%s line %d: %s", fileName.c_str(), lineNo, why.c_str());
  };
  std::string key, value;
  auto number = [&]() {
    int n = CfgNumber(value);
    if (!IsCfgNumber(value)) warn(key + " '" + value + "' is not a number: read as " + std::to_string(n));
    return n;
  };
  auto yesOrNumber = [&]() {
    if (CfgYes(value)) return 1;
    std::string u = Upper(value);
    if (u == "NO" || u == "FALSE") return 0;
    return number();
  };
  auto clamped = [&](int n, int low, int high) {
    int used = n < low ? low : (n > high ? high : n);
    if (used != n) warn(key + " " + std::to_string(n) + " is outside " + std::to_string(low) + " to " +
                        std::to_string(high) + ": " + std::to_string(used) + " used");
    return used;
  };
  while (ReadCfgLine(f, &raw, &tooLong)) {
    ++lineNo;
    if (tooLong) {
      if (!quiet)
        LogAlwaysF("%s line %d is longer than %zu bytes: ignored", fileName.c_str(), lineNo, kMaxCfgLineBytes);
      continue;
    }
    std::string line = CleanCfgLine(raw);
    size_t eq = line.find('=');
    if (eq == std::string::npos) {
      if (!line.empty()) warn("'" + line + "' has no '=': ignored");
      continue;
    }
    key = line.substr(0, eq);
    value = line.substr(eq + 1);
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
      std::string u = Upper(value);
      rec->isDispSente = CfgYes(value) ? 1 : (u == "NOTE" ? 2 : 0);
      if (rec->isDispSente == 0 && u != "NO" && u != "FALSE" && u != "0")
        warn("IS_DISP_SENTE '" + value + "' is none of YES, NOTE, NO: read as NO");
    } else if (key == "VIR_LINES_NUM") {
      int n = number();
      constexpr int kMost = static_cast<int>(kMaxLineListEntries);
      if (n > kMost) {
        if (!quiet) LogAlwaysF("VIR_LINES_NUM %d is too many: %d used", n, kMost);
        n = kMost;
      }
      rec->virLinesNum = n;
    } else if (key == "TOTAL_LINES_NUM") {
      rec->totalLinesNum = number();
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
      if (!rec->languageType && u != "CHINESE" && u != "CN" && u != "ZH")
        warn("LANGUAGE_TYPE '" + value + "' is not ENGLISH or EN: Chinese used");
    } else if (key == "IS_SHOW_FORM") {
      std::string u = Upper(value);
      rec->isShowForm = CfgYes(value) ? 1 : 0;
      if (!rec->isShowForm && u != "NO" && u != "FALSE" && u != "0")
        warn("IS_SHOW_FORM '" + value + "' is not YES, TRUE or 1: read as NO");
    } else if (key == "COL_GROUP_NUM") {
      int n = number();
      if (n >= 1 && n <= 10)
        rec->colGroupNum = n;
      else
        warn("COL_GROUP_NUM " + std::to_string(n) + " is outside 1 to 10: ignored");
    } else if (key == "MONITOR_PORT") {
      int n = number();
      if (n > 0 && n <= 65535)
        rec->monitorPort = n;
      else
        warn("MONITOR_PORT " + std::to_string(n) + " is outside 1 to 65535: ignored");
    } else if (key == "MONITOR_MAX_CONN") {
      int n = number();
      if (n <= 10)
        rec->monitorMaxConn = n;
      else
        warn("MONITOR_MAX_CONN " + std::to_string(n) + " is above 10: ignored");
    } else if (key == "IS_WRITE_LOG") {
      rec->isWriteLog = yesOrNumber();
      logLevel = rec->isWriteLog;
    } else if (key == "IS_IMMEDIATE_LOG") {
      rec->isImmediateLog = yesOrNumber();
    } else if (key == "IS_DISP_TALKTIME") {
      rec->isDispTalkTime = yesOrNumber();
    } else if (key == "LOG_FILE") {
      rec->logFile = value;
    } else if (key == "LOG_SIZE") {
      int mb = clamped(number(), 2, 80);
      rec->logSize = static_cast<uint32_t>(mb) * 1048576u;
    } else if (key == "MAX_MSG_NUM") {
      rec->maxMsgNum = number();
      msgQueueLimit = rec->maxMsgNum;
    } else if (key == "LOAD_DELAY") {
      int n = number();
      if (n > kMaxLoadDelayMs) {
        if (!quiet) LogAlwaysF("LOAD_DELAY %d is too long: %d used", n, kMaxLoadDelayMs);
        n = kMaxLoadDelayMs;
      }
      rec->loadDelay = clamped(n, 5, kMaxLoadDelayMs);
    } else if (key == "DISP_DELAY") {
      rec->dispDelay = clamped(number(), 100, 15000);
    } else if (key == "DB_MAX_CONN") {
      dbPoolSize = number();
    } else if (key == "DB_BITFIELD_IS_DIGIT") {
      dbBitfieldIsDigit = (CfgYes(value) || yesOrNumber() != 0) ? 1 : 0;
    } else {
      warn("unknown key " + key + ": ignored");
    }
  }
  std::fclose(f);
  return result;
}
