#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wakeup.h"

// The line monitor: for every telephone line the eight texts of its row in the
// main window's grid, with colours and a changed flag per cell. Line threads
// write through the notification functions below; the display tick copies the
// changes out (TakeChanges) and paints them. No widget lives here.

// Closing flag of the program: raised from start until the start of all lines
// lowers it, and for good by the exit. While raised, run-line notifications do
// nothing and the grid is not painted.
extern std::atomic<bool> isCloseing;

// Cells of a line's row.
enum TagMonitorCell : int {
  kCellLine = 0,
  kCellScript = 1,
  kCellState = 2,
  kCellKeys = 3,
  kCellRunInfo = 4,
  kCellUser0 = 5,
  kCellCount = 8,
};

// Line states.
enum TagLineState : uint8_t { kStateInitErr = 0, kStateUnset = 1, kStateLoading = 2, kStateRunning = 3, kStateEnded = 4 };

struct TagRgb {
  uint8_t r, g, b;
};
// Colour indexes 0 to 15 as the grid and the remote consoles use them.
extern const std::array<TagRgb, 16> kMonitorColors;

// One line's row.
struct TagLineRec {
  std::string text[kCellCount];
  bool changed[kCellCount] = {};
  uint8_t state = kStateLoading;
  uint8_t connected = 0;
  int block = 0;
  int userFg = 0, userBg = 15;    // cells 5 to 7
  int stateFg = 0, stateBg = 15;  // cells 0 to 4
};

// Where the cells stand in a grid of g groups of lines side by side.
struct TagGridLayout {
  int lines = 1;
  int groups = 1;
  int Columns() const { return kCellCount * groups; }
  int Rows() const { return (lines + groups - 1) / groups + 1; }
  int RowOf(int line) const { return line / groups + 1; }
  int ColumnOf(int line, int cell) const { return (line % groups) * kCellCount + cell; }
  // Line and cell of a grid cell; false for the header row or past the lines.
  bool LineAt(int column, int row, int* line, int* cell) const;
};

// The texts of a script instance's statements, by the id its run loop passes
// to DispRunLine. Shared, so the display tick can still read the texts of an
// instance that a reload is replacing; read on the display thread only.
class TagRunSource {
 public:
  virtual ~TagRunSource() = default;
  // Text of the statement (GB bytes); empty when the id is unknown.
  virtual std::string_view StatementText(int id) const = 0;
};

// A ready-made source holding copies of the texts.
class TagRunTexts : public TagRunSource {
 public:
  explicit TagRunTexts(std::vector<std::string> texts) : texts_(std::move(texts)) {}
  std::string_view StatementText(int id) const override {
    return id >= 0 && static_cast<size_t>(id) < texts_.size() ? std::string_view(texts_[id]) : std::string_view();
  }

 private:
  std::vector<std::string> texts_;
};

// Where a line's run loop is, for the debugger page.
struct TagRunMark {
  int statement = -1;   // id within the line's run source
  int index = -1;       // index within the running flow (main or function)
  int function = -1;    // function id; -1 for the main flow
  bool isCall = false;  // the statement calls a script function
  bool prevWasCall = false;
};

// One changed cell handed to the painter.
struct TagCellUpdate {
  int line, cell, column, row;
  int fg, bg;
  std::string text;
};

// Visible part of the grid, inclusive; the default covers everything.
struct TagGridRange {
  int firstRow = 0, lastRow = 1 << 30;
  int firstColumn = 0, lastColumn = 1 << 30;
};

// The keys cell as the operator's editor saw it when editing began.
struct TagKeysEdit {
  std::string text;
  uint64_t consumed = 0;
};

// What the monitor needs to know of the program's settings; copied at
// construction so a later re-read of the configuration cannot race the lines.
struct TagMonitorSettings {
  int language = 0;        // 1 English
  int dispSente = 1;       // 1 statement, 2 its comment, else nothing
  int dispTalkTime = 0;    // the connected text keeps the talk time
  std::string title[3];    // user column headers (GB bytes)
  static TagMonitorSettings FromRunCfg();
};

// The remote server's side of a cell change.
class TagCellSink {
 public:
  virtual ~TagCellSink() = default;
  virtual void MarkCell(int line, int cell, int fg, int bg) = 0;
};

class TagMonitor {
 public:
  explicit TagMonitor(int lines, TagMonitorSettings settings = TagMonitorSettings::FromRunCfg());
  ~TagMonitor();
  TagMonitor(const TagMonitor&) = delete;
  TagMonitor& operator=(const TagMonitor&) = delete;

  int Lines() const { return lines_; }
  const TagMonitorSettings& Settings() const { return settings_; }

  // Cell texts, states and colours. A line or cell out of range does nothing.
  void SetCellText(std::string_view text, int line, int cell);
  void SetState(int line, int state);
  void SetStateColors(int line, int fg, int bg);
  // Each colour only when it is 0 to 15; nothing is marked changed.
  void SetUserColors(int line, int fg, int bg);
  // Colour 0 on colour 15 for a line out of range.
  std::pair<int, int> GetStateColors(int line) const;
  std::pair<int, int> GetUserColors(int line) const;
  // Colours a cell is painted with.
  std::pair<int, int> CellColors(int line, int cell) const;
  int GetState(int line) const;
  std::string GetCellText(int line, int cell) const;
  // A copy of the whole row (an empty record for a line out of range).
  TagLineRec GetLine(int line) const;

  // Display tick's view of trunk blocks and connected calls.
  int IsConnected(int line) const;
  void SetConnected(int line, bool connected);
  int GetBlock(int line) const;
  void SetBlock(int line, int block);
  // Marks cells 0 to 4 changed again with their own texts, so fresh state
  // colours reach the grid and the remote consoles.
  void TouchStateCells(int line);

  // The state cell from a state text (DispLineState).
  void ShowLineState(int line, std::string_view text);

  // Grid binding and layout.
  void BindGrid(int groups);
  TagGridLayout Layout() const;
  // Header texts of one group (GB bytes).
  std::array<std::string, kCellCount> Headers() const;
  // The line of a selected grid cell, -1 for none.
  int SelectedLine(int column, int row) const;

  // Run info. SetRunSource once per script instance; PublishRun per
  // statement (a few relaxed stores); UpdateRunInfo on the display tick
  // formats the cells of lines whose statement moved.
  void SetRunSource(int line, std::shared_ptr<const TagRunSource> source);
  void PublishRun(int line, const TagRunMark& mark) {
    if (line < 0 || line >= lines_) return;
    Hot& h = hot_[line];
    h.statement.store(mark.statement, std::memory_order_relaxed);
    h.mark.store(Pack(mark), std::memory_order_relaxed);
  }
  // Written by the line's own thread after every statement; apart from the
  // records so that lines do not share cache lines.
  struct alignas(64) Hot {
    std::atomic<int> statement{-1};
    std::atomic<uint64_t> mark{0};
  };
  // The run slot of a line (null outside the grid) for a run loop that
  // publishes without looking the monitor up per statement.
  Hot* RunSlot(int line) { return Valid(line) ? &hot_[line] : nullptr; }
  static uint64_t Pack(const TagRunMark& m) {
    uint64_t v = static_cast<uint32_t>(m.index);
    v |= (static_cast<uint64_t>(static_cast<uint32_t>(m.function + 1)) & 0x3FFFFFFFu) << 32;
    if (m.isCall) v |= 1ull << 62;
    if (m.prevWasCall) v |= 1ull << 63;
    return v;
  }
  TagRunMark GetRunMark(int line) const;
  void UpdateRunInfo();

  // Changed cells of the visible range, in line and cell order, their flags
  // cleared; at most maxCells (the rest wait for the next tick). Formats the
  // run info first.
  std::vector<TagCellUpdate> TakeChanges(const TagGridRange& range = {}, size_t maxCells = SIZE_MAX);

  // Keys cell (cell 3). Line threads consume from its front while the
  // operator types into it; every change is made under the line's lock.
  std::string GetKeys(int line) const;
  int GetKeysLength(int line) const;
  void SetKeys(int line, std::string_view text);
  void ClearKeys(int line);
  // Hands out the first decide(text) characters (at most the text's length)
  // and keeps the rest, in one step: keys typed meanwhile stay.
  std::string TakeKeys(int line, const std::function<size_t(std::string_view)>& decide);
  std::string TakeKeys(int line, size_t count);
  // Keys typed by the operator.
  void AppendKeys(int line, std::string_view keys);
  // The wakeup of the line thread waiting for keys (null: none); every change
  // of the keys cell notifies it. The waiter removes it before the wakeup
  // goes away.
  void SetKeysWakeup(int line, plat::Wakeup* wake);
  // An editor session on the keys cell: what it started from, then its
  // result. Keys handed out meanwhile are not given back, keys that arrived
  // meanwhile are kept when the edit only added keys.
  TagKeysEdit BeginKeysEdit(int line) const;
  void CommitKeysEdit(int line, const TagKeysEdit& before, std::string_view after);

  // Remote consoles; the sink stays attached until DetachSink returns, and a
  // change being marked finishes before that.
  void AttachSink(TagCellSink* sink);
  void DetachSink(TagCellSink* sink);

 private:
  struct Slot {
    mutable std::mutex lock;
    TagLineRec rec;
    std::shared_ptr<const TagRunSource> source;
    uint64_t sourceGen = 0;
    uint64_t keysConsumed = 0;
    plat::Wakeup* keysWake = nullptr;
    // Display tick only.
    int shownStatement = -1;
    uint64_t shownSourceGen = 0;
  };
  bool Valid(int line) const { return line >= 0 && line < lines_; }
  // Colours of cells 0 to 4 after a text change (fresh for a running line).
  static std::pair<int, int> FreshStateColors(TagLineRec& r);
  void Mark(int line, int cell, int fg, int bg);
  void SetKeysLocked(Slot& s, std::string text);

  int lines_;
  TagMonitorSettings settings_;
  std::atomic<int> groups_{1};
  std::unique_ptr<Slot[]> slots_;
  std::unique_ptr<Hot[]> hot_;
  // Held while a change is marked, so a detaching sink waits for it.
  std::mutex sinkLock_;
  TagCellSink* sink_ = nullptr;
};

// The monitor of the running system; none before the system start and after
// the exit. A thread that used a monitor keeps it alive until it next looks
// (or ends), so a line thread that outlives the stop never touches freed
// memory.
void SetMonitor(std::shared_ptr<TagMonitor> monitor);
std::shared_ptr<TagMonitor> GetMonitor();
// The current monitor for this thread's use, or null; cheap (one atomic load
// when nothing changed).
TagMonitor* CurrentMonitor();

// Notification functions; each does nothing while there is no monitor. Lines
// are 0-based. Texts are GB bytes.
int DispLineState(int line, std::string_view text);
int DispLineScript(int line, std::string_view text);
// Text into user cell index (0 to 2); any other index is ignored.
int DispInfo(int line, int index, std::string_view text);
int SetDispColor(int line, int fg, int bg);
// The keys cell by the line's key-display mode (0 nothing, 2 stars, else the
// text). The caller looks up the mode of the line's script instance and does
// not call when the line has none.
void DispKeys(int line, std::string_view text, int mode);
// What DispKeys shows for a mode; false when the mode shows nothing.
bool KeysDisplayText(std::string_view text, int mode, std::string* shown);
std::string GetDispKeys(int line);
int GetDispKeysLength(int line);
void SetDispKeys(int line, std::string_view text);
void ClearDispKeys(int line);

// Run loop, once per script instance and per statement. The statement id
// names a text of the line's run source.
void SetRunSource(int line, std::shared_ptr<const TagRunSource> source);
inline void DispRunLine(int statement, int line) {
  if (isCloseing.load(std::memory_order_relaxed)) return;
  if (TagMonitor* m = CurrentMonitor()) m->PublishRun(line, TagRunMark{statement, statement, -1, false, false});
}
// A statement of a script function: index within the function, its id.
inline void DispSubRunLine(int statement, int index, int line, int function, bool isCall, bool prevWasCall) {
  if (isCloseing.load(std::memory_order_relaxed)) return;
  if (TagMonitor* m = CurrentMonitor()) m->PublishRun(line, TagRunMark{statement, index, function, isCall, prevWasCall});
}

// What a run loop publishes for the grid, looked up once per run: it keeps
// the monitor alive for the run and publishes each statement with plain
// stores into the line's slot. Nothing while there is no monitor or the
// system is closing.
class TagRunPublisher {
 public:
  TagRunPublisher() = default;
  explicit TagRunPublisher(int line);
  TagRunPublisher(const TagRunPublisher&) = delete;
  TagRunPublisher& operator=(const TagRunPublisher&) = delete;
  // As DispRunLine.
  void Main(int statement) const {
    if (!slot_ || isCloseing.load(std::memory_order_relaxed)) return;
    slot_->statement.store(statement, std::memory_order_relaxed);
    slot_->mark.store(static_cast<uint32_t>(statement), std::memory_order_relaxed);
  }
  // As DispSubRunLine.
  void Sub(int statement, int index, int function, bool isCall, bool prevWasCall) const {
    if (!slot_ || isCloseing.load(std::memory_order_relaxed)) return;
    slot_->statement.store(statement, std::memory_order_relaxed);
    slot_->mark.store(TagMonitor::Pack(TagRunMark{statement, index, function, isCall, prevWasCall}),
                      std::memory_order_relaxed);
  }

 private:
  std::shared_ptr<TagMonitor> monitor_;
  TagMonitor::Hot* slot_ = nullptr;
};

// The state texts (GB bytes) and their translation.
struct TagStateText {
  std::string chinese;
  const char* english;
  int state, fg, bg;
};
const std::vector<TagStateText>& StateTexts();
// The text as stored for the language: English translations of the table's
// texts and of the connected text; other texts unchanged.
std::string TranslateStateText(std::string_view text, int language, int dispTalkTime);
