#include "engine/compilediag.h"

#include <array>
#include <cstdio>
#include <iterator>

#include "platform/msgbox.h"
#include "platform/text.h"
#include "platform/tick.h"

namespace {

// UTF-8 here; MsgText hands out GB bytes. Order follows CMsg.
constexpr const char* kMsgUtf8[] = {
    "重复包含文件",
    "打不开文件错误",
    "找不到匹配的起始注释/*",
    "常量不可以赋值或者是非法的变量名",
    "下标[]语法错误:",
    "表达式中的变量没有预先赋值:",
    "语法错误:",
    "常量定义错误，不能运算",
    "常量定义错误，=号右边必须为常量",
    "常量重复定义",
    "语法错",
    "常量不可以赋值",
    "表达式为空",
    "语法错误: '{'或'}'必需单独一行",
    "缺少结束的分号",
    "语法错误: 字符串没有结束",
    "语法错误",
    "操作符错误: 出现多个操作符",
    "for语句语法错误",
    "语法错误: 太多的参数",
    "参数不可以为空",
    "操作参数太多",
    "操作参数不够",
    "最好不要使用将来可能不支持的Close()函数, 请使用OnDisconn()函数",
    "最好不要使用将来可能不支持的IsSysQuit()函数, 请使用OnSysQuit()函数",
    "在函数里不可以使用包含文件语句",
    "语法错：得不到有效的文件名",
    "不可辨识的关键字",
    "找不到匹配的if语句",
    "找不到匹配的while语句",
    "找不到匹配的while语句或for语句",
    "找不到匹配的switch语句",
    "在一个switch块里不允许有多个default语句",
    "'{'前面一行必须有相应的流程控制语句",
    "语法错误: '{'必需单独一行",
    "语法错误: '}'必需单独一行",
    "找不到匹配的'{'语句",
    "找不到匹配的function语句",
    "在一个switch块里只能有case和default语句",
    "前面缺少'{'语句",
    "函数定义错误: 语法错",
    "函数定义错误: 重复定义",
    "函数定义错误: 和系统函数重名",
    "函数定义错误: 参数名不合法",
    "函数定义错误: 函数名已经被定义为变量或常量",
    "该函数从来没有被调用过, 已被优化",
    "自加或自减的变量名不合法",
    "不支持的操作符",
    "语法错误: 缺少操作符",
    "表达式中的变量没有预先赋值",
    "if语句没有结束 (行数:%d)",
    "while语句没有结束 (行数:%d)",
    "switch语句没有结束 (行数:%d)",
    "{语句没有相应的} (行数:%d)",
    "注释没有结束",
    "函数定义没有结束 (行数:%d)",
    "总错误数: %d; 总警告数: %d; 编译时间: %.3f秒",
    "编译结束",
    "编译结束, 请参看错误日志errmsg%d.txt",
    "出错了",
};
static_assert(std::size(kMsgUtf8) == static_cast<size_t>(CMsg::kCount));
constexpr size_t kMsgCount = std::size(kMsgUtf8);

// The format texts hold no '%' of their own besides the conversions, and GB
// trail bytes never equal '%', so they are safe printf formats.
template <typename... Args>
std::string FormatGb(CMsg fmt, Args... args) {
  const std::string& f = MsgText(fmt);
  int n = std::snprintf(nullptr, 0, f.c_str(), args...);
  if (n <= 0) return f;
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::snprintf(out.data(), out.size(), f.c_str(), args...);
  out.resize(static_cast<size_t>(n));
  return out;
}

// The seconds are written from the milliseconds, not through "%.3f": the
// window toolkit may switch the process to a locale with a decimal comma.
std::string SummaryText(int errors, int warnings, uint32_t ms) {
  std::string fmt = MsgText(CMsg::Summary);
  size_t at = fmt.find("%.3f");
  if (at != std::string::npos) fmt.replace(at, 4, "%u.%03u");
  char buf[256];
  std::snprintf(buf, sizeof buf, fmt.c_str(), errors, warnings, ms / 1000, ms % 1000);
  return buf;
}

}  // namespace

const std::string& MsgText(CMsg msg) {
  static const std::array<std::string, kMsgCount> texts = [] {
    std::array<std::string, kMsgCount> t;
    for (size_t i = 0; i < kMsgCount; ++i) t[i] = plat::Utf8ToGbk(kMsgUtf8[i]);
    return t;
  }();
  return texts.at(static_cast<size_t>(msg));
}

std::string CutGbText(std::string_view text, size_t max) {
  if (text.size() <= max) return std::string(text);
  size_t i = 0;
  while (i < max) {
    size_t step = plat::IsGbLead(static_cast<unsigned char>(text[i])) && i + 1 < text.size() ? 2 : 1;
    if (i + step > max) break;
    i += step;
  }
  return std::string(text.substr(0, i));
}

TagCompileDiag::TagCompileDiag(int line, bool run, bool isNested)
    : lineNo(line), runMode(run), nested(isNested), root_(this) {}

TagCompileDiag::TagCompileDiag(TagCompileDiag& parent)
    : lineNo(parent.lineNo),
      curFileName(parent.curFileName),
      runMode(parent.runMode),
      nested(parent.nested),
      root_(parent.root_) {}

std::string TagCompileDiag::ReportFileName() const { return "errmsg" + std::to_string(lineNo) + ".txt"; }

void TagCompileDiag::DeleteReport() const { std::remove(ReportFileName().c_str()); }

void TagCompileDiag::WriteEntry(const std::string& entry) {
  // Opened and closed for every entry; a report that cannot be written loses
  // the entry and nothing else.
  FILE* fp = std::fopen(ReportFileName().c_str(), "ab");
  if (fp == nullptr) return;
  std::fwrite(entry.data(), 1, entry.size(), fp);
  std::fclose(fp);
}

void TagCompileDiag::Report(int line, std::string_view message, std::string_view detail, bool warning) {
  if (warning && runMode) return;
  std::string e;
  e.reserve(curFileName.size() + message.size() + detail.size() + 32);
  if (line == kSummaryLine) {
    e += '\n';
    e += curFileName;
    e += ": ";
    e += message;
    e += ", ";
    e += detail;
    e += '\n';
  } else {
    e += warning ? "[Warning]" : "[Error]";
    e += curFileName;
    e += '(';
    e += std::to_string(line);
    e += "): ";
    e += message;
    if (detail.empty()) {
      e += "\n\n";
    } else {
      e += ", ";
      e += detail;
      e += '\n';
    }
  }
  WriteEntry(e);
}

void TagCompileDiag::ErrorBox(int line, std::string_view text, std::string_view detail) {
  if (nested) return;
  std::string body;
  if (line != kSummaryLine) {
    char num[16];
    std::snprintf(num, sizeof num, "%4d: ", line);
    body = num;
  }
  body += text;
  body += ",\r";
  body += detail;
  plat::MessageBox(MsgText(CMsg::ErrorBoxTitle), CutGbText(body, kBoxTextMax), plat::kBoxOk);
}

std::vector<int>& TagCompileDiag::Comments() {
  auto& frames = root_->commentFrames_;
  if (frames.empty()) frames.emplace_back();
  return frames.back();
}

void TagCompileDiag::BeginFile() { root_->commentFrames_.emplace_back(); }

void TagCompileDiag::EndFile() {
  auto& frames = root_->commentFrames_;
  if (frames.empty()) return;
  if (!frames.back().empty()) {
    Report(frames.back().back(), CMsg::CommentNotEnded, {});
    ++errorCount;
  }
  frames.pop_back();
}

void TagCompileDiag::BeginCompile() {
  DeleteReport();
  errorCount = 0;
  warningCount = 0;
  elapsedMs_ = 0;
  startTick_ = plat::TickCount();
}

void TagCompileDiag::SourceCompiled() { elapsedMs_ = plat::TickCount() - startTick_; }

void TagCompileDiag::ReportUnclosed(const TagUnclosedBlocks& open) {
  const int at = open.scriptLines;
  auto withLine = [&](const std::optional<TagOpenConstruct>& c, CMsg fmt, bool withText) {
    if (!c) return;
    Report(at, FormatGb(fmt, c->line), withText ? std::string_view(c->text) : std::string_view());
    ++errorCount;
  };
  withLine(open.pendingIf, CMsg::IfNotEnded, true);
  withLine(open.loop, CMsg::WhileNotEnded, true);
  withLine(open.switchBlock, CMsg::SwitchNotEnded, true);
  withLine(open.brace, CMsg::BraceNotClosed, false);
  auto& frames = root_->commentFrames_;
  for (auto it = frames.rbegin(); it != frames.rend(); ++it) {
    if (it->empty()) continue;
    Report(it->back(), CMsg::CommentNotEnded, {});
    ++errorCount;
  }
  frames.clear();
  withLine(open.function, CMsg::FunctionNotEnded, true);
}

int TagCompileDiag::Summarize() {
  if (errorCount > 0 || (!runMode && warningCount > 0)) {
    std::string summary = SummaryText(errorCount, warningCount, elapsedMs_);
    Report(kSummaryLine, summary, MsgText(CMsg::CompileEnd));
    if (errorCount > 0 && !nested) {
      ErrorBox(kSummaryLine, summary, FormatGb(CMsg::CompileEndSeeReport, lineNo));
      plat::ShellOpen(ReportFileName());
    }
  }
  return errorCount > 0 ? -2 : 0;
}
