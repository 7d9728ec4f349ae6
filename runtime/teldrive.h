#pragma once
// The line manager: owns the cards, numbers their lines into one list, loads
// every configured line's script on threads of its own, reloads and stops
// them, and answers the lookups and statistics of the main window and the
// operations.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/confrooms.h"
#include "lines/kxcard.h"
#include "platform/thread.h"

class TagKxCall;
class TagTelBasic;
struct TagRunCfg;

// What the manager builds its parts with; empty members take the defaults.
// Tests replace them to run lines without the card or the compiler.
struct TagTelDriveHooks {
  // Default: MakePhysicalCard().
  std::function<std::unique_ptr<TagKxCard>()> makePhysicalCard;
  // A line's script instance in threaded run mode. Default: a TagTelBasic
  // compiled from the script file.
  std::function<std::shared_ptr<TagTelBasic>(const std::string& script, int line, TagKxCall* call)> makeInstance;
  // Empties the script file cache before a start and a reload. Default:
  // the process's TagMemKxs.
  std::function<void()> clearScriptCache;
};


class TagTelDrive {
 public:
  // Reads the configuration (when both are given) and makes the cards and
  // lines. status is -100 when the configuration cannot be read, else 0.
  TagTelDrive(const std::string& cfgFile, TagRunCfg* cfg, TagTelDriveHooks hooks = {});
  ~TagTelDrive();
  TagTelDrive(const TagTelDrive&) = delete;
  TagTelDrive& operator=(const TagTelDrive&) = delete;

  // --- line threads ---
  // Stops all lines, then loads every line the file's line lists name:
  // 0, -1 (no lines) or -2 (the file cannot be opened). One at a time.
  int RunStart(const std::string& cfgFile);
  // 0 when a load thread was started (or one is loading the line already),
  // the instance's initialisation result when the line has one, -1 for a
  // line number outside the lines in service.
  int LoadLine(int line, const std::string& script);
  // Logs the numbers of a line list that name no line of this installation.
  void ReportLinesPast(const std::string& cfgFile, int lineNo, const std::vector<int>& list) const;
  // Runs ReloadAll on a thread of its own and returns at once; reloads asked
  // for while one runs are done after it, never beside it.
  void StartReloadThread();
  void ReloadAll();
  // The start stops loading lines soon (exit or reset under way); for good.
  void CancelStart() { cancelStart_ = true; }
  // Stops every line's script, waits for the line threads and releases the
  // script instances.
  void CloseAllTelLine();

  // --- lookups and statistics (no lock) ---
  // type: 1 physical card, 0 SIP card, 2 virtual card, 255 none.
  TagKxCall* GetCall(int channel, uint8_t* type);
  bool GetLineTime(int line, int* elapsedSeconds, int* connectTime);
  int IsBlock(int line);
  int CountConnected(int* external, int* internal, int* virtualLines, int* voip);
  int CountIdle(int* external, int* voip);
  int CountReloadPending();
  int CountByType(int* external, int* internal, int* virtualLines, int* voip);
  void WriteLinesList();

  // The line's script instance, shared with the caller; null when none or
  // out of range.
  std::shared_ptr<TagTelBasic> Instance(int line) const;
  // Lines whose load thread finished since the last RunStart.
  int LoadedLines() const { return loadedLines_.load(); }
  bool LinesLoaded() const;
  // A reload thread is at work (or has one more reload to do).
  bool ReloadRunning() {
    std::lock_guard<std::mutex> g(reloadLock_);
    return reloadRunning_;
  }
  // Line threads not yet joined.
  size_t LiveThreads();

  std::atomic<int> status{-1};
  std::atomic<uint8_t> runGate{1};
  TagRunCfg* runCfg = nullptr;
  std::unique_ptr<TagKxCard> pPhyCard;
  std::unique_ptr<TagKxCard> pSipCard;
  std::unique_ptr<TagKxCard> pVirCard;
  std::vector<TagTelLine*> lines;  // freed through their cards
  // The named conference rooms of all lines, installed for the call objects.
  TagNameConfCtrl confRooms;
  int telCount = 0;

 private:
  struct LineCtl {
    std::mutex lock;  // publishing an instance against the stop; guards the rest
    // A load thread of generation loaderGen is building the line's instance.
    bool loading = false;
    uint64_t loaderGen = 0;
    // A run thread of generation runnerGen owns the line's instance, from
    // before its gates to its end.
    bool runActive = false;
    uint64_t runnerGen = 0;
  };
  struct LineThread {
    plat::Thread thread;
    std::atomic<bool> done{false};
  };

  int RunStartLocked(const std::string& cfgFile);
  void LineLoadThread(TagTelLine* line, uint64_t gen);
  void LineRunThread(TagTelLine* line, std::shared_ptr<TagTelBasic> inst, uint64_t gen);
  std::shared_ptr<TagTelBasic> MakeInstance(TagTelLine* line);
  bool StartLineThread(std::function<void()> body);
  // Joins the finished line threads; with waitMs above 0 waits that long for
  // the others first.
  void JoinLineThreads(uint32_t waitMs);
  bool Stale(uint64_t gen) const { return gen_.load() != gen || exiting_.load(); }
  int LoadDelay() const;
  // An exit, a reset or the exit signal asks the start and the reload to end.
  bool StartStopping() const;
  void ClearScriptCache();
  void PacingSleep() const;
  void ReloadThreadBody();

  TagTelDriveHooks hooks_;
  std::vector<std::unique_ptr<LineCtl>> ctl_;
  std::mutex threadsLock_;
  std::vector<std::unique_ptr<LineThread>> threads_;
  std::atomic<uint64_t> gen_{0};  // raised by every stop
  std::atomic<bool> exiting_{false};
  std::atomic<bool> cancelStart_{false};
  std::atomic<int> loadedLines_{0};
  std::atomic<bool> startEnded_{false};  // a RunStart has run to its end
  std::recursive_mutex runStartLock_;
  std::mutex reloadLock_;
  plat::Thread reloadThread_;
  bool reloadRunning_ = false;  // under reloadLock_
  bool reloadAgain_ = false;    // under reloadLock_
  std::string cfgFile_ = "RoDizRun.cfg";
  bool leakLines_ = false;  // a line thread never ended: its line stays
};

// The line manager of the running system, behind the line directory and the
// key display the start hands out (runtime.h); null before the system start
// and after the exit. Its owner publishes and withdraws it.
extern std::atomic<TagTelDrive*> pTelDrive;

// The version text the manager logs when it starts (the main window's label
// with "-CardIsup"); set by the window when it builds the text.
void SetTelDriveVersionText(const std::string& text);

// The host's line manager: the start sequence of runtime.h, then a
// TagTelDrive, published in pTelDrive while it lives (when it is ready).
class TagLineManager;
std::unique_ptr<TagLineManager> MakeTelDriveManager(const std::string& cfgFile, TagRunCfg* record,
                                                    TagTelDriveHooks hooks = {});
