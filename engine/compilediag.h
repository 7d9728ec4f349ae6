#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Messages of the script compiler. The texts are the system's own and the
// script authors know them; MsgText gives them as GB bytes.
enum class CMsg : int {
  // loading files
  RepeatedInclude,        // warning
  CannotOpenFile,
  // statements
  NoCommentStart,
  ConstOrBadName,
  BadIndexSyntax,
  VarNotAssignedColon,
  SyntaxErrorColon,
  ConstNoOperators,
  ConstRightNotConst,
  ConstRedefined,         // error, or warning when the value is the same
  SyntaxErr,
  ConstAssigned,
  EmptyExpression,
  BraceAlone,
  MissingSemicolon,
  StringNotEnded,
  SyntaxError,
  MultipleOperators,
  ForSyntax,
  TooManyArgsSyntax,
  EmptyArgument,
  TooManyArgs,
  TooFewArgs,
  CloseObsolete,          // warning
  IsSysQuitObsolete,      // warning
  IncludeInFunction,
  BadIncludeName,
  UnknownKeyword,
  // blocks and flow
  NoMatchingIf,
  NoMatchingWhile,
  NoMatchingLoop,
  NoMatchingSwitch,
  TwoDefaults,
  BraceWithoutFlow,
  OpenBraceAlone,
  CloseBraceAlone,
  NoMatchingOpenBrace,
  NoMatchingFunction,
  OnlyCaseInSwitch,
  MissingOpenBrace,
  // functions
  FuncSyntax,
  FuncRedefined,
  FuncNamedLikeBuiltin,
  FuncBadParam,
  FuncNameIsVariable,
  FuncNeverCalled,        // warning
  // scanning
  BadIncDecName,
  UnsupportedOperator,
  MissingOperator,
  // expressions
  VarNotAssigned,
  // end of compile (formats take the line number)
  IfNotEnded,
  WhileNotEnded,
  SwitchNotEnded,
  BraceNotClosed,
  CommentNotEnded,
  FunctionNotEnded,
  Summary,                // errors, warnings, seconds
  CompileEnd,
  CompileEndSeeReport,    // line number
  ErrorBoxTitle,
  kCount
};

// The message as GB bytes (converted once).
const std::string& MsgText(CMsg msg);

// One construct still open when the source ended: where it began and its
// source text. Filled by the statement compiler from its block stacks (the
// top entry of each), after the pending-if rule at the end of the source.
struct TagOpenConstruct {
  int line = 0;
  std::string text;
};
struct TagUnclosedBlocks {
  int scriptLines = 0;  // physical lines of the script file; the line of the entries
  std::optional<TagOpenConstruct> pendingIf;
  std::optional<TagOpenConstruct> loop;
  std::optional<TagOpenConstruct> switchBlock;
  std::optional<TagOpenConstruct> brace;     // its text is not reported
  std::optional<TagOpenConstruct> function;  // text: the definition of the last function
};

// What one script instance knows for its compile report "errmsg%d.txt".
// The script instance derives from it; a function body shares its parent's
// line number, run mode, file and comment stack.
class TagCompileDiag {
 public:
  static constexpr int kSummaryLine = 9999;
  static constexpr size_t kBoxTextMax = 2047;

  TagCompileDiag(int lineNo, bool runMode, bool nested);
  // A function body: reports under its parent's line, file and mode.
  explicit TagCompileDiag(TagCompileDiag& parent);
  virtual ~TagCompileDiag() = default;
  TagCompileDiag(const TagCompileDiag&) = delete;
  TagCompileDiag& operator=(const TagCompileDiag&) = delete;

  int lineNo;
  std::string curFileName;  // the file being compiled, named in every entry
  bool runMode;
  bool nested;
  int errorCount = 0;
  int warningCount = 0;

  // "errmsg%d.txt" of this line, in the working directory.
  std::string ReportFileName() const;
  void DeleteReport() const;

  // Writes one entry. Warnings of an instance in run mode are dropped; callers
  // count errors and warnings themselves.
  void Report(int line, std::string_view message, std::string_view detail, bool warning = false);
  void Report(int line, CMsg msg, std::string_view detail, bool warning = false) {
    Report(line, MsgText(msg), detail, warning);
  }

  // The script error box "出错了"; nothing for a nested script.
  void ErrorBox(int line, std::string_view text, std::string_view detail);

  // Block comments are tracked per source file: a "/*" opened on a
  // "function" line may close inside the body. The loader opens a frame for
  // each file; EndFile reports a comment left open in an include, the frame of
  // the script file itself is reported by ReportUnclosed.
  std::vector<int>& Comments();
  void BeginFile();
  void EndFile();

  // Around the compile of a main instance: BeginCompile deletes the report,
  // zeroes the counts and starts the clock; SourceCompiled stops it after the
  // files were read; ReportUnclosed writes one counted error for each
  // construct left open; Summarize writes the summary and, with errors, shows
  // the box and opens the report. Returns 0, or -2 when there were errors.
  void BeginCompile();
  void SourceCompiled();
  void ReportUnclosed(const TagUnclosedBlocks& open);
  int Summarize();
  uint32_t ElapsedMs() const { return elapsedMs_; }

 protected:
  // Where entries go; the file by default.
  virtual void WriteEntry(const std::string& entry);

 private:
  TagCompileDiag* root_;  // the instance that owns the comment frames
  std::vector<std::vector<int>> commentFrames_;
  uint32_t startTick_ = 0;
  uint32_t elapsedMs_ = 0;
};

// The box text, cut to at most max bytes without splitting a GB character.
std::string CutGbText(std::string_view text, size_t max);
