#include "runtime/teldrive.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>

#include "engine/telbasic.h"
#include "core/linemanager.h"
#include "core/log.h"
#include "core/runcfg.h"
#include "engine/kxcall.h"
#include "lines/vircard.h"
#include "platform/msgbox.h"
#include "platform/path.h"
#include "platform/text.h"

std::atomic<TagTelDrive*> pTelDrive{nullptr};

namespace {

std::mutex g_versionLock;
std::string g_versionText = "RoDiz-CardIsup";

// The four-character type texts of the line list and the statistics.
const char* TypeText(int type) {
  static const char* const names[] = {"VIR ", "A_EX", "A_IN", "REC ", "DIG ", "H323", "SIP ", "VOIP", "FAX "};
  return type >= 0 && type <= 8 ? names[type] : "OTH ";
}

int LineTypeOf(const TagTelLine* line) { return line && line->call ? line->call->lineType.load() : -1; }

}  // namespace

void SetTelDriveVersionText(const std::string& text) {
  std::lock_guard<std::mutex> g(g_versionLock);
  g_versionText = text;
}

TagTelDrive::TagTelDrive(const std::string& cfgFile, TagRunCfg* cfg, TagTelDriveHooks hooks)
    : hooks_(std::move(hooks)) {
  SetConfRooms(&confRooms);
  runGate = 1;
  std::string version;
  {
    std::lock_guard<std::mutex> g(g_versionLock);
    version = g_versionText;
  }
  LogAlways(version);
  RawLog(version);
  status = -1;
  runCfg = cfg;
  if (cfg && !cfgFile.empty()) {
    cfgFile_ = cfgFile;
    // An overlap fails the start too: the lines after it were not read, and
    // running the lists before it would run scripts nobody meant to run.
    if (ReadCfgFile(cfgFile, cfg) != 0) {
      char text[600];
      std::snprintf(text, sizeof text, "\"%s\" File Open Error.", cfgFile.c_str());
      plat::MessageBox("Corvane System", text, plat::kBoxIconError);
      status = -100;
      return;
    }
  }
  RawLog("MakeCardDrive() ...");
  pPhyCard = hooks_.makePhysicalCard ? hooks_.makePhysicalCard() : MakePhysicalCard();
  RawLog("MakeCardDrive() OK.");
  pSipCard = std::make_unique<TagSipNoneDrive>();
  // A record filled by hand is bounded as the file's reader bounds it.
  const int virLines = cfg ? std::min(cfg->virLinesNum, static_cast<int>(kMaxLineListEntries)) : 1;
  auto vir = std::make_unique<TagVirCard>(virLines, cfg ? cfg->languageType != 0 : 0);
  vir->findCall = [this](int line, uint8_t* type) { return GetCall(line, type); };
  pVirCard = std::move(vir);

  RawLog("Init Lines ...");
  telCount = 0;
  bool stopped = false;
  for (TagKxCard* card : {pPhyCard.get(), pSipCard.get(), pVirCard.get()}) {
    int made = 0;
    // A card that could not be started offers no lines, whatever it counts.
    const int offered = card->status < 0 ? 0 : card->telCount;
    for (int i = 0; i < offered; ++i) {
      // The exit signal may come while thousands of lines are made on the
      // main thread: the lines made so far are enough for the exit.
      if (!stopped && exitRequested.load()) {
        LogAlwaysF("Init Lines: exit requested, %d lines made", telCount);
        stopped = true;
      }
      if (stopped) break;
      TagTelLine* line = card->MakeLine(i, telCount);
      if (!line) continue;
      line->SetInstance(nullptr);
      // A port of the physical card is never a virtual line: ports of types
      // the card does not name are trunk ports.
      if (card == pPhyCard.get() && line->call && line->call->lineType.load() == kLineVir)
        line->call->lineType = kLineAEx;
      lines.push_back(line);
      ++telCount;
      ++made;
    }
    // The ranges of GetCall and the freeing use the lines each card made.
    card->telCount = made;
  }
  ctl_.resize(lines.size());
  for (auto& c : ctl_) c = std::make_unique<LineCtl>();
  if (cfg && cfg->totalLinesNum > 0 && cfg->totalLinesNum < telCount) telCount = cfg->totalLinesNum;
  scriptLinesCount = telCount;
  status = 0;
  RawLog("Driver OK.");
  Log("Driver OK.");
  WriteLinesList();
}

TagTelDrive::~TagTelDrive() {
  SetConfRooms(nullptr);
  if (status.load() == -100) return;
  exiting_ = true;
  // A reload in progress finishes its step and goes; then no start can run.
  {
    std::lock_guard<std::mutex> g(reloadLock_);
    reloadAgain_ = false;
  }
  if (reloadThread_.Joinable()) reloadThread_.Join();
  std::lock_guard<std::recursive_mutex> start(runStartLock_);
  RawLog("Driver Close...");
  RawLog("CloseAllTelLine()...");
  CloseAllTelLine();
  RawLog("CloseAllTelLine() OK.");
  // Every line thread goes before the lines it uses.
  JoinLineThreads(10000);
  {
    std::lock_guard<std::mutex> g(threadsLock_);
    if (!threads_.empty()) {
      // A script that never returns: leave its thread, line and cards alone
      // rather than free them under it.
      LogAlwaysF("Driver Close: %zu line threads did not end", threads_.size());
      for (auto& t : threads_) t.release();
      threads_.clear();
      leakLines_ = true;
    }
  }
  if (!leakLines_) {
    size_t i = 0;
    const char* names[] = {"pPhyCard->FreeLine() OK.", "pSipCard->FreeLine() OK.", "pVirCard->FreeLine() OK."};
    int k = 0;
    for (TagKxCard* card : {pPhyCard.get(), pSipCard.get(), pVirCard.get()}) {
      for (int n = 0; n < card->telCount && i < lines.size(); ++n, ++i) {
        card->FreeLine(lines[i]);
        lines[i] = nullptr;
      }
      RawLog(names[k++]);
    }
    lines.clear();
    pVirCard.reset();
    RawLog("delete pVirCard OK.");
    pSipCard.reset();
    RawLog("delete pSipCard OK.");
    pPhyCard.reset();
    RawLog("delete pPhyCard OK.");
  } else {
    for (auto& card : {&pPhyCard, &pSipCard, &pVirCard}) card->release();
  }
  RawLog("Driver Closed.");
}

TagKxCall* TagTelDrive::GetCall(int channel, uint8_t* type) {
  const int phy = pPhyCard ? pPhyCard->telCount : 0;
  const int sip = pSipCard ? pSipCard->telCount : 0;
  const int vir = pVirCard ? pVirCard->telCount : 0;
  uint8_t t = 255;
  if (channel >= 0 && channel < phy)
    t = 1;
  else if (channel >= phy && channel < phy + sip)
    t = 0;
  else if (channel >= phy + sip && channel < phy + sip + vir)
    t = 2;
  if (type) *type = t;
  if (t == 255 || static_cast<size_t>(channel) >= lines.size() || !lines[channel]) {
    if (type) *type = 255;
    LogF("TagTelDrive::GetCall(ch=%d): pPhyCard->telCount=%d, pSipCard->telCount=%d, pVirCard->telCount=%d", channel,
         phy, sip, vir);
    return nullptr;
  }
  return lines[channel]->call;
}

std::shared_ptr<TagTelBasic> TagTelDrive::Instance(int line) const {
  if (line < 0 || line >= telCount || static_cast<size_t>(line) >= lines.size()) return nullptr;
  return lines[line]->Instance();
}

bool TagTelDrive::GetLineTime(int line, int* elapsedSeconds, int* connectTime) {
  auto inst = Instance(line);
  if (!inst || !inst->callObject) return false;
  TagKxCall* call = inst->callObject;
  if (call->callState.load() != kCallConnected) return false;
  const int32_t at = call->connectTime.load();
  if (connectTime) *connectTime = at;
  if (elapsedSeconds) *elapsedSeconds = static_cast<int>(NowSeconds() - at);
  return true;
}

int TagTelDrive::IsBlock(int line) {
  auto inst = Instance(line);
  if (!inst || !inst->callObject) return -1;
  return inst->callObject->isBlock.load();
}

namespace {
// Adds one line of type t to the four counts.
void CountType(int t, int* external, int* internal, int* virtualLines, int* voip) {
  if (t == kLineAEx || t == kLineDig)
    ++*external;
  else if (t == kLineAIn)
    ++*internal;
  else if (t == kLineVir)
    ++*virtualLines;
  else if (t >= kLineH323)
    ++*voip;
}
}  // namespace

int TagTelDrive::CountConnected(int* external, int* internal, int* virtualLines, int* voip) {
  int e = 0, in = 0, v = 0, o = 0;
  for (int i = 0; i < telCount; ++i) {
    const TagTelLine* line = lines[i];
    if (!line || !line->call || line->call->callState.load() != kCallConnected) continue;
    CountType(LineTypeOf(line), &e, &in, &v, &o);
  }
  if (external) *external = e;
  if (internal) *internal = in;
  if (virtualLines) *virtualLines = v;
  if (voip) *voip = o;
  return e + in + v + o;
}

int TagTelDrive::CountIdle(int* external, int* voip) {
  int e = 0, o = 0;
  for (int i = 0; i < telCount; ++i) {
    const TagTelLine* line = lines[i];
    if (!line || !line->call || line->call->callState.load() != kCallIdle) continue;
    const int t = LineTypeOf(line);
    if (t == kLineAEx || t == kLineDig)
      ++e;
    else if (t >= kLineH323)
      ++o;
  }
  if (external) e = *external += e;
  if (voip) o = *voip += o;
  return e + o;
}

int TagTelDrive::CountReloadPending() {
  int n = 0;
  for (int i = 0; i < telCount; ++i) {
    auto inst = lines[i]->Instance();
    if (inst && inst->IsReloadPending()) ++n;
  }
  return n;
}

int TagTelDrive::CountByType(int* external, int* internal, int* virtualLines, int* voip) {
  int e = 0, in = 0, v = 0, o = 0;
  for (int i = 0; i < telCount; ++i) CountType(LineTypeOf(lines[i]), &e, &in, &v, &o);
  if (external) *external = e;
  if (internal) *internal = in;
  if (virtualLines) *virtualLines = v;
  if (voip) *voip = o;
  return e + in + v + o;
}

void TagTelDrive::WriteLinesList() {
  FILE* f = plat::OpenFile("LinesList.txt", "wb");
  if (!f) return;
  // Lines end in CR LF: the file is read by operators in Windows editors.
  std::map<std::string, std::string> runs;
  auto closeRun = [&](int first, int last, int t) {
    char key[64], text[96];
    std::snprintf(key, sizeof key, "%s %03d-%03d", TypeText(t), first, last);
    std::snprintf(text, sizeof text, "%d-%d = %s (%d)", first, last, TypeText(t), last - first + 1);
    runs[key] = text;
  };
  std::fprintf(f, "linesCount: %d\r\n", telCount);
  std::fprintf(f, "%s\r\n", GBK("线路号  类型  名称").c_str());
  int first = 0, prev = 0;
  for (int i = 0; i < telCount; ++i) {
    const int t = LineTypeOf(lines[i]);
    if (i == 0 || t != prev) {
      std::fputs("------------------------------------\r\n", f);
      if (i > 0) closeRun(first, i - 1, prev);
      first = i;
    }
    prev = t;
    std::fprintf(f, "%6d  %4s  %s\r\n", i, TypeText(t), lines[i]->name.c_str());
  }
  std::fputs("==============================================\r\n", f);
  if (telCount > 0) closeRun(first, telCount - 1, prev);
  std::fprintf(f, "%s\r\n", GBK("线路统计：").c_str());
  for (const auto& [key, text] : runs) std::fprintf(f, "%s\r\n", text.c_str());
  std::fputs("==============================================\r\n", f);
  std::fclose(f);
}
