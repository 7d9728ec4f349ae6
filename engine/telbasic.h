#pragma once
// One compiled script: a line's main instance, a script function's body, or
// a script nested under "RunKxs(". The main instance owns the operations, the
// variables and the per-line services its operations use.
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/compilediag.h"
#include "engine/debugsvc.h"
#include "engine/nameindex.h"
#include "engine/oper.h"
#include "engine/runflag.h"
#include "engine/stdout.h"
#include "engine/tagvar.h"
#include "engine/timers.h"

class TagOper;
struct TagOperand;
struct RecKeyword;
class TagKxCall;
class TagLineServices;
class TagExpre;
class TagCalculate;
struct TagCallFrames;

// The number of lines of the line manager, as scripts see it in _linesCount.
extern std::atomic<int> scriptLinesCount;

class TagTelBasic : public TagCompileDiag {
 public:
  // Indexes of the first built-in variables.
  static constexpr int kTempVal = 0;
  static constexpr int kRetVal = 1;
  static constexpr int kMaxParams = 40;

  // A main instance for a script file, compiled at once. runMode 1 for the
  // line threads and "RunKxs(", 0 for a compile check. outer: the line's top
  // script when nested.
  TagTelBasic(const std::string& scriptFile, int lineNo, TagKxCall* call, int runMode,
              TagTelBasic* outer = nullptr);
  // An empty function body that the compiler fills.
  TagTelBasic(const std::string& file, const std::string& functionName, TagTelBasic* parent);
  ~TagTelBasic() override;

  // The line's root instance for operations compiled in `in`: a function body
  // gives its parent, a nested script its outer script.
  static TagTelBasic* GetRoot(TagTelBasic* in);
  TagTelBasic* Root() { return GetRoot(this); }
  // The per-line service state (engine/lineservices.h) of this main
  // instance; a function body gives its parent's.
  TagLineServices& Services();

  // --- requests from other threads ---
  void SetReload(bool flag);
  // Reload asked for, the line's threads run this instance, and no call is
  // connected.
  bool IsReloadPending() const;
  void SetQuitRequest(bool flag) { quitRequested.store(flag ? 1 : 0); }
  bool IsQuitRequested() const { return quitRequested.load() != 0; }

  // _retVal := value; returns its int field.
  int SetReturnValue(const TagVar& value) {
    TagVar& r = RetVal();
    r.Assign(value);
    return r.IntValue();
  }
  void SetSndExt(const std::string& ext) { sndExt = ext; }
  void SetPruneFunctions(bool flag) { pruneFunctions = flag ? 1 : 0; }
  // The variable of value's name is assigned it, or a copy is added; function
  // values are skipped.
  void ImportVar(const TagVar& value);
  // Turning it on creates or empties "%st%d%s" (sound directory, line,
  // extension). 0, or -1 when that file cannot be opened.
  int SetPlayToFile(bool flag);
  // Speech settings; mode 1 selects the pinyin engine.
  int SetTtsPara(int mode, const std::string& para1, const std::string& para2);
  int PinyinSpeakToFile(const std::string& text, const std::string& file);
  int SapiSpeakToFile(const std::string& text, const std::string& file, int flag, int n);
  // Steps a non-blocking connect every 80 ms: 0 connected, a negative step
  // result, -9 after the time-out (socket closed, logged), -10 when the
  // instance is being stopped.
  int TcpConnectWait(int* socket, const std::string& host, int port, int seconds);

  // The voice directory of the current language (a function body uses its
  // parent's).
  const std::string& CurSndDir() const;
  // Output of the play-to-file mode and of speech for a language directory.
  std::string PlayToFileName(int lang) const;
  std::string TtsFileName(int lang) const;

  // Variables: the built-ins first. Values live as long as the instance and
  // never move, so operations hold plain pointers to them.
  TagVar* AddVariable(std::unique_ptr<TagVar> v);
  TagVar& RetVal() { return *variables[kRetVal]; }
  TagVar& TempVal() { return *variables[kTempVal]; }
  // First variable of that name, or nullptr.
  TagVar* FindVariable(std::string_view varName) const;

  // Operations: appended by the compiler, owned.
  void AppendOperation(TagOper* op);
  // Deletes operations from index `from` to the end (run-time compiles).
  void RemoveOperationsFrom(size_t from);

  // --- compile (the compiler's files provide these) ---
  // Reads, compiles and checks the script file: the load, the end-of-source
  // checks, pruning and the summary. Sets initResult.
  void CompileMain();

  // --- fields ---
  uint8_t pruneFunctions = 1;
  std::string definitionText;
  TagRunFlag paused;
  std::atomic<uint8_t> stepping{0};
  std::vector<TagTelBasic*> functions;  // owned bodies
  std::map<std::string, int> callers;
  TagOper* curOper = nullptr;
  TagRunFlag quitRequested;
  std::vector<TagOper*> operations;  // owned
  TagRunFlag reloadRequested;
  void* runLine = nullptr;  // the line record whose threads run this instance
  RunState runState = kRunMain;
  std::string name;
  uint8_t wasScrambled = 0;
  std::vector<std::unique_ptr<TagVar>> variables;
  int initResult = 0;
  TagRunFlag stopRequested;
  TagRunFlag hardStop;
  std::atomic<uint8_t> runEnded{1};
  int hangupIndex = -1;
  int quitIndex = -1;
  std::atomic<int> curOperIndex{-1};
  std::string scriptFile;
  uint8_t starToPoint = 1;
  int tempCounter = 0;
  int lastDialResult = 0;
  TagKxCall* callObject = nullptr;
  TagTelBasic* parent = nullptr;
  TagTelBasic* caller = nullptr;
  std::string sndDirs[3];
  // The line's preloaded voices (made at the first "LoadVocFile(").
  std::shared_ptr<class TagMemVocs> memVocs;
  int language = 0;
  uint8_t breakOnKey = 1;
  char endKey = '#';
  int dispKeysMode = 1;
  std::string timeoutVoice = "timeout.wav";
  int paramCount = 0;
  std::vector<std::string> paramNames;
  std::vector<std::unique_ptr<TagVar>> params;
  uint8_t playToFile = 0;
  int ttsMode = 0;
  std::string ttsPara1, ttsPara2;
  // Speaks into voice files; made by each run of the main instance.
  std::unique_ptr<class TagFileSpeaker> msTts;
  TagTelBasic* runningNested = nullptr;
  TagTelBasic* outer = nullptr;
  std::string sndExt = ".WAV";
  uint8_t importVars = 0;

  // --- compiler state (kept by the compiler's files) ---
  // Symbols. Lookups are hashed; the first variable of a name (or the first
  // constant of a value) wins, as a scan in list order would find it.
  int FindVarIndex(std::string_view varName);
  int FindParamIndex(std::string_view paramName) const;
  // The visible variable: own variables, then (a body) its parameters, then
  // the parent's own variables. Returns where it was found (an index, or
  // 10000 + parameter index), -1 when nothing is found.
  int FindVar(std::string_view varName, TagVar*& out);
  // FindVar, or a new int 0 appended; -1 when it was created.
  int FindOrCreateVar(std::string_view varName, TagVar*& out);
  // A constant of that kind (TagOperand kind) and literal text, or -1.
  int FindConst(int operandKind, std::string_view literal);
  // A literal constant, a variable (a function variable counts a call), -1
  // for an unknown name, -2 for anything else.
  int OperandVar(const TagOperand& operand, TagVar*& out);
  int OperandVar(int operandKind, std::string_view text, TagVar*& out);
  // What naming v as an operand does besides finding it.
  void CountNameUse(TagVar* v);
  // A new "__m%d" temporary (the counter of the main script).
  TagVar* NewTempVar();
  int FindFunctionIndex(std::string_view fnName) const;
  TagTelBasic* FindFunction(std::string_view fnName);
  int AddParam(const std::string& paramName);
  int CountCall(const std::string& callerName);
  int RemoveCaller(const std::string& callerName);
  void RemoveCallerEverywhere(const std::string& callerName);
  int CallerCount() const { return static_cast<int>(callers.size()); }
  // Deletes functions nothing calls, repeatedly, each with its warning.
  void PruneUncalledFunctions();
  void BuildViews();
  // Called when a variable became constant after it was indexed.
  void IndexConst(int varIndex);

  // Loading and statements.
  int LoadFile(int callLine, const std::string& file);
  static bool ReadLine(std::string_view text, size_t& pos, std::string& line, size_t capacity);
  static int ParseIncludeName(std::string_view text, std::string& nameOut);
  int CompileLine(const std::string& text, int line);
  // A statement compiled at run time ("RunLine("), apart from the live
  // list's links: flow statements, braces, sections, function definitions
  // and includes are refused with kDetachedRefused; nothing is linked and no
  // operation's next is changed. Returns the operation it added at the end of
  // the list (the caller runs it and removes it with RemoveOperationsFrom),
  // or null with result set (0: nothing to run, -1: an error, reported).
  // The temporary counter is restored afterwards.
  static constexpr int kDetachedRefused = -999;
  TagOper* CompileDetached(const std::string& text, int line, int& result);
  void AddOper(TagOper* op, const std::string& text, int line, OpKind kindChar);
  int CompileArgs(int line, const std::string& stmt, const std::vector<std::string>& args,
                  std::vector<TagVar*>& out);
  // 0 simple (target, a, op, b filled), -2 complex, -3 refused by the
  // lexer, -1 after reporting.
  // knownTarget: the target's name when the caller split this same text.
  int CompileAssignment(int line, const std::string& text, TagVar*& target, TagVar*& a, char& op, TagVar*& b,
                        const std::string& comment, bool& created, const std::string* knownTarget = nullptr);
  // The main instance of this compile (a body's parent).
  TagTelBasic* CompileRoot() { return parent ? parent : this; }

  struct TagFInclude {
    std::string name;
  };
  std::vector<TagFInclude> includes;
  std::vector<int> ifStack, switchStack, loopStack, braceStack, functionStack;
  std::vector<TagOper*> pendingPreExpressions;  // owned until handed over
  TagVarRef pendingResult;
  int blockDepth = 0;
  bool detached = false;  // compiling a run-time line: no links
  int scriptLineCount = 0;  // physical lines of the script file
  std::vector<TagVar*> varView, constView;
  int namedConstCount = 0;
  // Nesting of script function calls on this line (root) and of this body.
  int callDepth = 0;
  int activeCalls = 0;
  TagTelBasic* runRoot = nullptr;  // a body's Root(), kept by its first call
  // What calls of this body made while it runs put aside (engine/call.h),
  // made at the first such call.
  std::unique_ptr<TagCallFrames> callFrames;
  // Counts changes of the operation list, so what was found in it is found again.
  uint32_t listChanges = 0;
  // Per parameter: the body may write it (found at the first call). One never
  // written need not be copied back to its argument.
  const std::vector<uint8_t>& ParamWrites();
  // The body may write values other than its own parameters and locals
  // (the main script's, through a call, or by a statement that cannot say).
  bool WritesOutside() {
    ParamWrites();
    return writesOutside_;
  }
  // Functions of user libraries declared by "DllFunction(": name -> argument
  // count (negative: any). Kept on the main instance.
  std::map<std::string, int> dllFunctions;
  void DeclareDllFunction(const std::string& fnName, int argCount);

 private:
  int CompileStatement(const std::string& text, int line);
  int CompileAssignPath(int line, const std::string& src, const std::string& work, const std::string& comment,
                        bool isConst, size_t constPos, int shape, size_t offset, bool incdec,
                        const std::string& incName, char incOp, const std::string& splitName,
                        const std::string& splitIndex);
  int CompileKeyword(int line, const std::string& src, const std::string& work, const std::string& comment);
  // The same with the head the caller found on this text (null: none).
  int CompileKeyword(int line, const std::string& src, const std::string& work, const std::string& comment,
                     const RecKeyword* head, size_t kpos);
  int CompileCall(int line, const std::string& src, const std::string& work);
  int CompileFunctionDef(int line, const std::string& src, const std::string& rest, const std::string& comment);
  int CompileInclude(int line, const std::string& work, size_t pos);
  int CompileFlow(int line, int kwIndex, const std::string& src, const std::string& work, size_t headEnd,
                  const std::vector<std::string>& args);
  // One flow statement being compiled, and a function per flow keyword.
  struct TagFlowStmt {
    int line;
    int kwIndex;
    const std::string& src;
    const std::string& work;
    size_t headEnd;
    const std::vector<std::string>& args;
    int here;  // the index its operation gets
  };
  bool FlowCondition(const TagFlowStmt& s, const std::string& text, TagExpre*& out);
  bool FlowSingleValue(const TagFlowStmt& s, const std::string& text, TagVar*& out);
  int CompileIfFlow(const TagFlowStmt& s);
  int CompileElseFlow(const TagFlowStmt& s);
  int CompileWhileFlow(const TagFlowStmt& s);
  int CompileForFlow(const TagFlowStmt& s);
  int CompileSwitchFlow(const TagFlowStmt& s);
  int CompileCaseFlow(const TagFlowStmt& s);
  int CompileDefaultFlow(const TagFlowStmt& s);
  int CompileBreakFlow(const TagFlowStmt& s);
  int CompileOpenBrace(const TagFlowStmt& s);
  int CompileCloseBrace(const TagFlowStmt& s);
  int LinkBlocks(int line, const std::string& work);
  // At the end of the source: the pending-if rule and the last links.
  void FinishSource();
  void CompleteIf(TagOper* ifOp);
  void IndexNewVariables();
  void ReserveForLines(size_t lines);
  bool constructing_ = false;  // the constructor's compile is running
  TagVar* NewLiteral(int operandKind, std::string_view literal);
  // Looked up by views of the source text, without a copy of the name.
  TagNameIndex nameIndex_;
  TagNameIndex constIndex_;
  size_t indexedVars_ = 0;
  // Source texts of block openers, for the end-of-source report (operation
  // texts are kept only while statements are shown).
  std::unordered_map<int, std::string> constructText_;
  void NoteConstruct(int here, const std::string& src);
  TagCalculate* SimpleCondition(std::string_view text);

 public:

  // --- run state (kept by the run loop's files) ---
  // Runs the main body: the result of the last operation, -1 when the
  // instance did not initialise.
  int Run();
  // Runs a function body for a call from `callingInstance`: 0, or -1.
  int RunFunction(TagTelBasic* callingInstance);
  // A quit or reload is pending for this instance or, when nested, its outer
  // script.
  bool QuitOrReloadPending() const;
  // The stop of the line: raised by the line manager and never cleared by a
  // run start, so a stop that comes before the run thread reaches Run is kept.
  TagRunFlag lineStopping;
  // The line's attention word (its top script's), raised by the run flags
  // and by an inner run loop that ends; see runflag.h.
  std::atomic<uint32_t>* attention = &attentionWord_;
  // The grid publication of the line's running top script, or null.
  const class TagRunPublisher* runPublisher = nullptr;
  // First statement id of this body in the line's statement texts.
  int runSourceBase = 0;
  // The print sink (a main instance's; closed at the end of its run).
  TStdOut stdOut;
  // The timers registered on this main instance.
  TagSysTimers timers;
  // Scripts running nested under "RunKxs(" on this top script.
  int nestedDepth = 0;
  // Set while "Eval(" or "RunLine(" compiles: temporaries are found by name.
  uint8_t runtimeCompile = 0;

  // --- debugging services (debugsvc.cpp) ---
  bool IsPaused() const { return paused.load() != 0; }
  void SetPaused(bool flag) {
    paused = flag ? 1 : 0;
    stepping = 0;
  }
  void Step() { stepping = 1; }
  // Run thread: while paused and not stepping, publishes the variables once
  // and waits in steps of 100 ms until a step, a resume or a stop of the
  // line; then clears stepping.
  void WaitWhilePaused();
  // Index outside the operation list: ignored / false.
  void SetBreakpoint(int index, bool flag);
  bool HasBreakpoint(int index) const;
  // Also in every function body.
  void ClearBreakpoints();
  // From the published snapshot: 0 found, -1 not found (value "变量名不存在.").
  int FindVarText(std::string_view varName, std::string& note, std::string& value, std::string& kind) const;
  // "name: value" lines of the names of operation index (empty outside the
  // list); a function body also looks in its parent.
  void GetOperWatchText(int index, std::string& out) const;
  void ShowFunctionName(TagCaptionControl& control) const;
  // Run thread (or a thread that owns the instance): copies the variables of
  // this instance and its function bodies for the debugger.
  void PublishDebugSnapshot();
  std::shared_ptr<const TagDebugSnapshot> DebugSnapshot() const;
  // Counts the snapshots published; the debugger refreshes when it moves.
  std::atomic<uint32_t> debugRefreshes{0};
  // Guards the snapshot and the shape of the operation list against the
  // debugger's thread; the run loop itself never takes it.
  mutable std::mutex debugLock;
  std::shared_ptr<const TagDebugSnapshot> debugSnapshot;

 private:
  std::atomic<uint32_t> attentionWord_{1};
  void BindRunFlags();
  std::unique_ptr<TagLineServices> services_;  // main instances only
  std::vector<uint8_t> paramWrites_;
  bool paramWritesKnown_ = false;
  bool writesOutside_ = true;
  // A body's statement after its opening brace, found at its first call
  // (null: no plain brace first); forgotten when the list changes.
  TagOper* bodyEntry_ = nullptr;
  bool bodyEntryKnown_ = false;
  void AddBuiltins();
  void DeleteOperationsAndVariables();
};
