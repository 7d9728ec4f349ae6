#pragma once
// The line manager as every layer sees it, and the process's closing flag.
#include <atomic>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include "core/runcfg.h"

class TagTelBasic;

// What the host asks of the line manager. The runtime's line manager
// implements it; the host's window and tests see only this interface.
class TagLineManager {
 public:
  // Deleting the manager stops every line and joins their threads.
  virtual ~TagLineManager() = default;

  // 0 ready, -100 the configuration cannot be read, other negatives failures.
  virtual int Status() const = 0;
  // Lines in service.
  virtual int LineCount() const = 0;
  virtual std::string LineName(int line) const = 0;
  // False when the line has no script instance; else its script file and its
  // initialisation result.
  virtual bool LineScript(int line, std::string* scriptFile, int* initRet) const = 0;
  // The call object's block value; -1 without a call object or script instance.
  virtual int IsBlock(int line) const = 0;
  // True while the line is in a connected call, with the seconds since it connected.
  virtual bool GetLineTime(int line, long* elapsed, time_t* connectTime) const = 0;
  // Line counts by type: external (1, 4), internal (2), virtual (0), VoIP (5 and
  // above); the result is their sum.
  virtual int CountByType(int* ex, int* in, int* vir, int* ip) const = 0;
  // The same over connected lines.
  virtual int CountConnected(int* ex, int* in, int* vir, int* ip) const = 0;
  // Adds idle external and VoIP lines to the counts; the result is their sum.
  virtual int CountIdle(int* ex, int* ip) const = 0;
  virtual int CountReloadPending() const = 0;
  // Starts all lines from the configuration (main run thread). Lowers the
  // closing flag through ClearCloseing, never directly.
  virtual int RunStart(const std::string& cfgFile) = 0;
  // Whether the line's script came from the scrambled compiled form (no debugger page).
  virtual bool IsScrambled(int line) const { return false; }
  // The line's script instance, shared with the caller (the debugger keeps it
  // alive past a reload); null when none or out of range.
  virtual std::shared_ptr<TagTelBasic> LineInstance(int line) const { return nullptr; }
  // RunStart has ended and no line is still loading its script.
  virtual bool LinesLoaded() const { return true; }
  // Asks RunStart to stop loading lines soon (exit or reset under way).
  virtual void CancelStart() {}
  // Starts the reload-all thread and returns at once.
  virtual void StartReloadThread() = 0;
  // The physical card's serial number; empty without a card.
  virtual std::string CardSerial() const { return {}; }
  // Posts a hang-up request that the line's own thread carries out.
  virtual void RequestHangup(int line) = 0;
};


// Raised by the exit signals' handler: the exit was asked for while the main
// thread may still be busy (making the lines), so long work ends early.
extern std::atomic<bool> exitRequested;
static_assert(std::atomic<bool>::is_always_lock_free, "raised from a signal handler");

// Lowers the closing flag for the start of all lines, unless an exit or a
// reset holds it raised.
void ClearCloseing();

// Raises the closing flag and holds it raised (exit, reset) or lets ClearCloseing lower it again.
void HoldCloseing(bool hold);
// The exit's raise: false when the flag is already raised, else raises and holds it.
bool TryHoldCloseing();
