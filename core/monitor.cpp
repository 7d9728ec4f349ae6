#include "core/monitor.h"

#include <algorithm>

#include "core/runcfg.h"
#include "platform/text.h"

std::atomic<bool> isCloseing{true};

const std::array<TagRgb, 16> kMonitorColors = {{
    {0, 0, 0},
    {0, 0, 255},
    {0, 128, 0},
    {0, 255, 255},
    {255, 0, 0},
    {255, 0, 255},
    {128, 128, 0},
    {192, 192, 192},
    {128, 128, 128},
    {166, 202, 240},
    {0, 255, 64},
    {128, 255, 255},
    {255, 0, 0},
    {255, 0, 128},
    {255, 255, 0},
    {255, 255, 255},
}};

bool TagGridLayout::LineAt(int column, int row, int* line, int* cell) const {
  if (row < 1 || column < 0 || column >= Columns()) return false;
  int l = (row - 1) * groups + column / kCellCount;
  if (l >= lines) return false;
  *line = l;
  *cell = column % kCellCount;
  return true;
}

TagMonitorSettings TagMonitorSettings::FromRunCfg() {
  TagMonitorSettings s;
  s.language = runCfg.languageType;
  s.dispSente = runCfg.isDispSente;
  s.dispTalkTime = runCfg.isDispTalkTime;
  s.title[0] = runCfg.title1;
  s.title[1] = runCfg.title2;
  s.title[2] = runCfg.title3;
  return s;
}

const std::vector<TagStateText>& StateTexts() {
  static const std::vector<TagStateText> table = {
      {plat::Utf8ToGbk("已停止"), "End", kStateEnded, 0, 13},
      {plat::Utf8ToGbk("加载..."), "Loading...", kStateLoading, 0, 10},
      {plat::Utf8ToGbk("初始化失败"), "InitErr", kStateInitErr, 14, 4},
      {plat::Utf8ToGbk("未配置"), "Unset", kStateUnset, 0, 11},
      {plat::Utf8ToGbk("运行"), "Running", kStateRunning, 0, 15},
      {plat::Utf8ToGbk("堵塞"), "Blocked", kStateRunning, 14, 4},
  };
  return table;
}

std::string TranslateStateText(std::string_view text, int language, int dispTalkTime) {
  if (language != 1) return std::string(text);
  for (const TagStateText& t : StateTexts()) {
    // The unset text keeps its Chinese form in an English platform.
    if (t.state != kStateUnset && text == t.chinese) return t.english;
  }
  const std::string& conn = GBK("连通");
  if (text.size() >= conn.size() && text.substr(0, conn.size()) == conn) {
    std::string out = "Conn";
    if (dispTalkTime != 0) out.append(text.substr(conn.size()));
    return out;
  }
  return std::string(text);
}

// ---------------------------------------------------------------------------

TagMonitor::TagMonitor(int lines, TagMonitorSettings settings)
    : lines_(lines > 0 ? lines : 0),
      settings_(std::move(settings)),
      slots_(new Slot[lines > 0 ? lines : 1]),
      hot_(new Hot[lines > 0 ? lines : 1]) {}

TagMonitor::~TagMonitor() = default;

TagRunMark TagMonitor::GetRunMark(int line) const {
  TagRunMark m;
  if (!Valid(line)) return m;
  const Hot& h = hot_[line];
  uint64_t v = h.mark.load(std::memory_order_relaxed);
  m.statement = h.statement.load(std::memory_order_relaxed);
  if (v == 0 && m.statement < 0) return m;
  m.index = static_cast<int32_t>(static_cast<uint32_t>(v));
  m.function = static_cast<int>((v >> 32) & 0x3FFFFFFFu) - 1;
  m.isCall = (v >> 62) & 1;
  m.prevWasCall = (v >> 63) & 1;
  return m;
}

std::pair<int, int> TagMonitor::FreshStateColors(TagLineRec& r) {
  if (r.state == kStateRunning) {
    if (r.block == 1) {
      r.stateFg = 14, r.stateBg = 4;
    } else if (r.connected) {
      r.stateFg = 1, r.stateBg = 14;
    } else {
      r.stateFg = 0, r.stateBg = 15;
    }
  }
  return {r.stateFg, r.stateBg};
}

void TagMonitor::Mark(int line, int cell, int fg, int bg) {
  if (cell == kCellKeys) {
    // The line thread waiting for keys looks at the cell now.
    plat::Wakeup* wake;
    {
      std::lock_guard<std::mutex> l(slots_[line].lock);
      wake = slots_[line].keysWake;
    }
    if (wake) wake->Notify();
  }
  std::lock_guard<std::mutex> l(sinkLock_);
  if (sink_) sink_->MarkCell(line, cell, fg, bg);
}

void TagMonitor::SetKeysWakeup(int line, plat::Wakeup* wake) {
  if (!Valid(line)) return;
  std::lock_guard<std::mutex> l(slots_[line].lock);
  slots_[line].keysWake = wake;
}

void TagMonitor::AttachSink(TagCellSink* sink) {
  std::lock_guard<std::mutex> l(sinkLock_);
  sink_ = sink;
}

void TagMonitor::DetachSink(TagCellSink* sink) {
  std::lock_guard<std::mutex> l(sinkLock_);
  if (sink_ == sink) sink_ = nullptr;
}

void TagMonitor::SetCellText(std::string_view text, int line, int cell) {
  if (!Valid(line) || cell < 0 || cell >= kCellCount) return;
  std::pair<int, int> c;
  {
    Slot& s = slots_[line];
    std::lock_guard<std::mutex> l(s.lock);
    s.rec.text[cell].assign(text);
    s.rec.changed[cell] = true;
    c = cell >= kCellUser0 ? std::make_pair(s.rec.userFg, s.rec.userBg) : FreshStateColors(s.rec);
  }
  Mark(line, cell, c.first, c.second);
}

void TagMonitor::ShowLineState(int line, std::string_view text) {
  if (!Valid(line)) return;
  const TagStateText* entry = nullptr;
  for (const TagStateText& t : StateTexts()) {
    if (text == t.chinese || text == t.english) entry = &t;
  }
  std::string stored = TranslateStateText(text, settings_.language, settings_.dispTalkTime);
  std::pair<int, int> c;
  {
    Slot& s = slots_[line];
    std::lock_guard<std::mutex> l(s.lock);
    s.rec.text[kCellState] = std::move(stored);
    s.rec.changed[kCellState] = true;
    if (entry) {
      s.rec.state = static_cast<uint8_t>(entry->state);
      s.rec.stateFg = entry->fg;
      s.rec.stateBg = entry->bg;
      c = {entry->fg, entry->bg};
    } else {
      c = FreshStateColors(s.rec);
    }
  }
  Mark(line, kCellState, c.first, c.second);
}

void TagMonitor::SetState(int line, int state) {
  if (!Valid(line)) return;
  std::lock_guard<std::mutex> l(slots_[line].lock);
  slots_[line].rec.state = static_cast<uint8_t>(state);
}

int TagMonitor::GetState(int line) const {
  if (!Valid(line)) return -1;
  std::lock_guard<std::mutex> l(slots_[line].lock);
  return slots_[line].rec.state;
}

void TagMonitor::SetStateColors(int line, int fg, int bg) {
  if (!Valid(line)) return;
  {
    std::lock_guard<std::mutex> l(slots_[line].lock);
    TagLineRec& r = slots_[line].rec;
    r.stateFg = fg;
    r.stateBg = bg;
    for (int c = 0; c < kCellUser0; ++c) r.changed[c] = true;
  }
  for (int c = 0; c < kCellUser0; ++c) Mark(line, c, fg, bg);
}

void TagMonitor::SetUserColors(int line, int fg, int bg) {
  if (!Valid(line)) return;
  std::lock_guard<std::mutex> l(slots_[line].lock);
  TagLineRec& r = slots_[line].rec;
  if (fg >= 0 && fg <= 15) r.userFg = fg;
  if (bg >= 0 && bg <= 15) r.userBg = bg;
}

std::pair<int, int> TagMonitor::GetStateColors(int line) const {
  if (!Valid(line)) return {0, 15};
  std::lock_guard<std::mutex> l(slots_[line].lock);
  return {slots_[line].rec.stateFg, slots_[line].rec.stateBg};
}

std::pair<int, int> TagMonitor::GetUserColors(int line) const {
  if (!Valid(line)) return {0, 15};
  std::lock_guard<std::mutex> l(slots_[line].lock);
  return {slots_[line].rec.userFg, slots_[line].rec.userBg};
}

std::pair<int, int> TagMonitor::CellColors(int line, int cell) const {
  return cell >= kCellUser0 ? GetUserColors(line) : GetStateColors(line);
}

std::string TagMonitor::GetCellText(int line, int cell) const {
  if (!Valid(line) || cell < 0 || cell >= kCellCount) return {};
  std::lock_guard<std::mutex> l(slots_[line].lock);
  return slots_[line].rec.text[cell];
}

TagLineRec TagMonitor::GetLine(int line) const {
  if (!Valid(line)) return {};
  std::lock_guard<std::mutex> l(slots_[line].lock);
  return slots_[line].rec;
}

int TagMonitor::IsConnected(int line) const {
  if (!Valid(line)) return 0;
  std::lock_guard<std::mutex> l(slots_[line].lock);
  return slots_[line].rec.connected;
}

void TagMonitor::SetConnected(int line, bool connected) {
  if (!Valid(line)) return;
  std::lock_guard<std::mutex> l(slots_[line].lock);
  slots_[line].rec.connected = connected ? 1 : 0;
}

int TagMonitor::GetBlock(int line) const {
  if (!Valid(line)) return 0;
  std::lock_guard<std::mutex> l(slots_[line].lock);
  return slots_[line].rec.block;
}

void TagMonitor::SetBlock(int line, int block) {
  if (!Valid(line)) return;
  std::lock_guard<std::mutex> l(slots_[line].lock);
  slots_[line].rec.block = block;
}

void TagMonitor::TouchStateCells(int line) {
  if (!Valid(line)) return;
  std::pair<int, int> c;
  {
    std::lock_guard<std::mutex> l(slots_[line].lock);
    TagLineRec& r = slots_[line].rec;
    for (int i = 0; i < kCellUser0; ++i) r.changed[i] = true;
    c = FreshStateColors(r);
  }
  for (int i = 0; i < kCellUser0; ++i) Mark(line, i, c.first, c.second);
}

void TagMonitor::BindGrid(int groups) { groups_.store(std::clamp(groups, 1, 10)); }

TagGridLayout TagMonitor::Layout() const { return TagGridLayout{lines_, groups_.load()}; }

std::array<std::string, kCellCount> TagMonitor::Headers() const {
  std::array<std::string, kCellCount> h;
  if (settings_.language == 1) {
    h = {"Line", "Script File", "Status", "Keys", "Run Info", "", "", ""};
  } else {
    h = {GBK("线路"), GBK("脚本文件"), GBK("状态"), GBK("当前按键"), GBK("运行信息"), "", "", ""};
  }
  for (int i = 0; i < 3; ++i) h[kCellUser0 + i] = settings_.title[i];
  return h;
}

int TagMonitor::SelectedLine(int column, int row) const {
  int line, cell;
  return Layout().LineAt(column, row, &line, &cell) ? line : -1;
}

void TagMonitor::SetRunSource(int line, std::shared_ptr<const TagRunSource> source) {
  if (!Valid(line)) return;
  std::lock_guard<std::mutex> l(slots_[line].lock);
  slots_[line].source = std::move(source);
  ++slots_[line].sourceGen;
  hot_[line].statement.store(-1, std::memory_order_relaxed);
  hot_[line].mark.store(0, std::memory_order_relaxed);
}

void TagMonitor::UpdateRunInfo() {
  int mode = settings_.dispSente;
  if (mode != 1 && mode != 2) return;
  for (int line = 0; line < lines_; ++line) {
    int st = hot_[line].statement.load(std::memory_order_relaxed);
    std::shared_ptr<const TagRunSource> src;
    std::string current;
    {
      Slot& s = slots_[line];
      std::lock_guard<std::mutex> l(s.lock);
      if (st == s.shownStatement && s.sourceGen == s.shownSourceGen) continue;
      s.shownStatement = st;
      s.shownSourceGen = s.sourceGen;
      src = s.source;
      current = s.rec.text[kCellRunInfo];
    }
    std::string_view text = src ? src->StatementText(st) : std::string_view();
    if (mode == 2) {
      size_t p = text.find("//");
      text = p == std::string_view::npos ? std::string_view() : text.substr(p + 2);
    }
    if (text != current) SetCellText(text, line, kCellRunInfo);
  }
}

std::vector<TagCellUpdate> TagMonitor::TakeChanges(const TagGridRange& range, size_t maxCells) {
  UpdateRunInfo();
  std::vector<TagCellUpdate> out;
  TagGridLayout layout = Layout();
  for (int line = 0; line < lines_ && out.size() < maxCells; ++line) {
    int row = layout.RowOf(line);
    if (row < range.firstRow || row > range.lastRow) continue;
    Slot& s = slots_[line];
    std::lock_guard<std::mutex> l(s.lock);
    for (int cell = 0; cell < kCellCount && out.size() < maxCells; ++cell) {
      int col = layout.ColumnOf(line, cell);
      if (!s.rec.changed[cell] || col < range.firstColumn || col > range.lastColumn) continue;
      s.rec.changed[cell] = false;
      bool user = cell >= kCellUser0;
      out.push_back(TagCellUpdate{line, cell, col, row, user ? s.rec.userFg : s.rec.stateFg,
                                  user ? s.rec.userBg : s.rec.stateBg, s.rec.text[cell]});
    }
  }
  return out;
}

// --- keys cell ---------------------------------------------------------------

std::string TagMonitor::GetKeys(int line) const { return GetCellText(line, kCellKeys); }

int TagMonitor::GetKeysLength(int line) const {
  if (!Valid(line)) return 0;
  std::lock_guard<std::mutex> l(slots_[line].lock);
  return static_cast<int>(slots_[line].rec.text[kCellKeys].size());
}

void TagMonitor::SetKeys(int line, std::string_view text) { SetCellText(text, line, kCellKeys); }

void TagMonitor::ClearKeys(int line) { SetCellText({}, line, kCellKeys); }

std::string TagMonitor::TakeKeys(int line, const std::function<size_t(std::string_view)>& decide) {
  if (!Valid(line)) return {};
  std::string taken;
  std::pair<int, int> c;
  {
    Slot& s = slots_[line];
    std::lock_guard<std::mutex> l(s.lock);
    std::string& keys = s.rec.text[kCellKeys];
    size_t n = std::min(decide(keys), keys.size());
    if (n == 0) return {};
    taken = keys.substr(0, n);
    keys.erase(0, n);
    s.keysConsumed += n;
    s.rec.changed[kCellKeys] = true;
    c = FreshStateColors(s.rec);
  }
  Mark(line, kCellKeys, c.first, c.second);
  return taken;
}

std::string TagMonitor::TakeKeys(int line, size_t count) {
  return TakeKeys(line, [count](std::string_view) { return count; });
}

void TagMonitor::AppendKeys(int line, std::string_view keys) {
  if (!Valid(line) || keys.empty()) return;
  std::pair<int, int> c;
  {
    Slot& s = slots_[line];
    std::lock_guard<std::mutex> l(s.lock);
    s.rec.text[kCellKeys].append(keys);
    s.rec.changed[kCellKeys] = true;
    c = FreshStateColors(s.rec);
  }
  Mark(line, kCellKeys, c.first, c.second);
}

TagKeysEdit TagMonitor::BeginKeysEdit(int line) const {
  if (!Valid(line)) return {};
  std::lock_guard<std::mutex> l(slots_[line].lock);
  return TagKeysEdit{slots_[line].rec.text[kCellKeys], slots_[line].keysConsumed};
}

void TagMonitor::CommitKeysEdit(int line, const TagKeysEdit& before, std::string_view after) {
  if (!Valid(line)) return;
  std::pair<int, int> c;
  {
    Slot& s = slots_[line];
    std::lock_guard<std::mutex> l(s.lock);
    std::string& keys = s.rec.text[kCellKeys];
    std::string_view was = before.text;
    if (after.substr(0, was.size()) == was) {
      // Keys typed at the end: whatever the line took or others added meanwhile
      // stays as it is, the new keys follow.
      keys.append(after.substr(was.size()));
    } else {
      // A rewrite: keep it, less the keys handed out since editing began
      // (they were the front of what the editor showed).
      size_t common = 0;
      while (common < was.size() && common < after.size() && was[common] == after[common]) ++common;
      size_t consumed = static_cast<size_t>(s.keysConsumed - before.consumed);
      keys.assign(after.substr(std::min(consumed, common)));
    }
    s.rec.changed[kCellKeys] = true;
    c = FreshStateColors(s.rec);
  }
  Mark(line, kCellKeys, c.first, c.second);
}

// --- the current monitor -------------------------------------------------------

namespace {

std::mutex g_monitorLock;
std::shared_ptr<TagMonitor> g_monitor;
std::atomic<uint64_t> g_monitorGen{1};

struct MonitorCache {
  uint64_t gen = 0;
  std::shared_ptr<TagMonitor> monitor;
};
thread_local MonitorCache t_cache;

}  // namespace

void SetMonitor(std::shared_ptr<TagMonitor> monitor) {
  std::lock_guard<std::mutex> l(g_monitorLock);
  g_monitor = std::move(monitor);
  g_monitorGen.fetch_add(1, std::memory_order_release);
}

std::shared_ptr<TagMonitor> GetMonitor() {
  std::lock_guard<std::mutex> l(g_monitorLock);
  return g_monitor;
}

TagMonitor* CurrentMonitor() {
  MonitorCache& c = t_cache;
  if (c.gen != g_monitorGen.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> l(g_monitorLock);
    c.monitor = g_monitor;
    c.gen = g_monitorGen.load(std::memory_order_relaxed);
  }
  return c.monitor.get();
}

TagRunPublisher::TagRunPublisher(int line) : monitor_(GetMonitor()) {
  if (monitor_) slot_ = monitor_->RunSlot(line);
}

// --- notification functions ----------------------------------------------------

int DispLineState(int line, std::string_view text) {
  if (line < 0) return -1;
  if (TagMonitor* m = CurrentMonitor()) m->ShowLineState(line, text);
  return 0;
}

int DispLineScript(int line, std::string_view text) {
  if (line < 0) return -1;
  if (TagMonitor* m = CurrentMonitor()) m->SetCellText(text, line, kCellScript);
  return 0;
}

int DispInfo(int line, int index, std::string_view text) {
  if (line < 0) return -1;
  // Only the three user cells: a script must not overwrite the line's own.
  if (index < 0 || index > 2) return 0;
  if (TagMonitor* m = CurrentMonitor()) m->SetCellText(text, line, kCellUser0 + index);
  return 0;
}

int SetDispColor(int line, int fg, int bg) {
  if (TagMonitor* m = CurrentMonitor()) m->SetUserColors(line, fg, bg);
  return 0;
}

bool KeysDisplayText(std::string_view text, int mode, std::string* shown) {
  if (mode == 0) return false;
  if (mode == 2) {
    shown->assign(std::min<size_t>(text.size(), 20), '*');
  } else {
    shown->assign(text);
  }
  return true;
}

void DispKeys(int line, std::string_view text, int mode) {
  TagMonitor* m = CurrentMonitor();
  if (!m) return;
  std::string shown;
  if (KeysDisplayText(text, mode, &shown)) m->SetKeys(line, shown);
}

std::string GetDispKeys(int line) {
  TagMonitor* m = CurrentMonitor();
  return m ? m->GetKeys(line) : std::string();
}

int GetDispKeysLength(int line) {
  TagMonitor* m = CurrentMonitor();
  return m ? m->GetKeysLength(line) : 0;
}

void SetDispKeys(int line, std::string_view text) {
  if (TagMonitor* m = CurrentMonitor()) m->SetKeys(line, text);
}

void ClearDispKeys(int line) {
  if (TagMonitor* m = CurrentMonitor()) m->ClearKeys(line);
}

void SetRunSource(int line, std::shared_ptr<const TagRunSource> source) {
  if (TagMonitor* m = CurrentMonitor()) m->SetRunSource(line, std::move(source));
}
