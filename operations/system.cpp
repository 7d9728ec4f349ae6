// System operations: system and line information, running other programs,
// the platform's quit, memory and disk figures, and the line's user cells.
#include <strings.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "core/log.h"
#include "core/monitor.h"
#include "engine/argoper.h"
#include "engine/keyword.h"
#include "engine/kxcall.h"
#include "engine/opfactory.h"
#include "engine/tagmap.h"
#include "engine/tagvar.h"
#include "engine/telbasic.h"
#include "operations/argread.h"
#include "operations/sysinfo.h"
#include "platform/instance.h"
#include "platform/process.h"
#include "platform/tick.h"
#include "services/dbslots.h"

namespace {

std::mutex g_hostLock;
std::shared_ptr<const TagSysHost> g_host;

std::shared_ptr<const TagSysHost> Host() {
  std::lock_guard<std::mutex> g(g_hostLock);
  return g_host;
}

constexpr const char* kSysKeys[] = {
    "CardSerNo",   "Version",   "AcmBci1",          "AcmBci2",          "CauseId",          "IsLastExitConf",
    "IsMediaOk",   "ChState",   "CallType",         "DbErrInfo",        "ExLineConnectedNum", "InLineConnectedNum",
    "VoipConnectedNum", "IsBlock", "TalkTime",     "ConnectedTime1",
};
constexpr int kSysKeyCount = sizeof kSysKeys / sizeof kSysKeys[0];

// The value of key k for the line of root.
TagVar SysValue(int k, TagTelBasic& root) {
  const auto host = Host();
  TagKxCall* call = root.callObject;
  int ex = 0, in = 0, vir = 0, ip = 0;
  if ((k >= 10 && k <= 12) && host && host->countConnected) host->countConnected(&ex, &in, &vir, &ip);
  long elapsed = 0;
  time_t since = 0;
  if ((k == 14 || k == 15) && host && host->lineTime && !host->lineTime(root.lineNo, &elapsed, &since)) {
    // Not connected: no talk time and no connect time.
    elapsed = 0;
    since = 0;
  }
  switch (k) {
    case 0:
      return TagVar::Str(host && host->cardSerial ? host->cardSerial() : "");
    case 1:
      return TagVar::Str(host && host->version ? host->version() : "");
    case 2:
      return TagVar::Int(call ? call->acmBci[0] : 0);
    case 3:
      return TagVar::Int(call ? call->acmBci[1] : 0);
    case 4:
      return TagVar::Int(call ? call->causeId : 0);
    case 5:
      return TagVar::Int(call ? call->isLastExitConf : 0);
    case 6:
      return TagVar::Int(call ? (call->IsMediaOk() ? 1 : 0) : 0);
    case 7:
      return TagVar::Int(call ? call->GetChState() : 0);
    case 8:
      return TagVar::Int(call ? call->GetCallType() : 0);
    case 9: {
      // A line that never opened a data set has no error to report.
      const TagDataSetSlots* sets = root.Services().Find<TagDataSetSlots>();
      return TagVar::Str(sets ? sets->LastDbError() : "");
    }
    case 10:
      return TagVar::Int(ex);
    case 11:
      return TagVar::Int(in);
    case 12:
      return TagVar::Int(ip);
    case 13:
      return TagVar::Int(root.lineNo < 0 || !call ? -1 : call->isBlock.load());
    case 14:
      return TagVar::Int(static_cast<int32_t>(elapsed));
    default:
      return TagVar::Int(static_cast<int32_t>(since));
  }
}

class TagGetSysInfo : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    TagVar& map = Arg(0);
    for (int k = 0; k < kSysKeyCount; ++k) {
      TagVar key = TagVar::Str(kSysKeys[k]);
      TagVarRef{&map, &key}.Store(SysValue(k, Root()));
    }
    return map.IsMap() ? TagMapObject::Instance().Count(map.MapHandle()) : 0;
  }
};

class TagGetSysInfoVal : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    const std::string name = ArgText(Arg(0));
    for (int k = 0; k < kSysKeyCount; ++k) {
      if (strcasecmp(name.c_str(), kSysKeys[k]) != 0) continue;
      Arg(1).Assign(SysValue(k, Root()));
      return 0;
    }
    return -1;
  }
};

bool Stopping(const TagTelBasic& root) {
  return root.stopRequested.load() || root.lineStopping.load() || root.hardStop.load() ||
         root.QuitOrReloadPending();
}

class TagExec : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    const pid_t pid = plat::SpawnProgram(plat::SplitCommandLine(ArgText(Arg(0))));
    if (pid < 0) return -1;
    const int seconds = ArgInt(Arg(1));
    if (seconds <= 0) {
      plat::ReapLater(pid);
      return 2;
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(int64_t(seconds) * 1000);
    int code = 0;
    while (!plat::TryReap(pid, &code)) {
      // A stopping line leaves the program running, as an unwaited one.
      if (Stopping(Root())) {
        plat::ReapLater(pid);
        return 2;
      }
      if (Clock::now() >= deadline) {
        if (ArgInt(Arg(2)) != 0) {
          plat::KillAndReap(pid);
          return 1;
        }
        plat::ReapLater(pid);
        return 2;
      }
      plat::SleepMs(10);
    }
    Arg(2).SetInt(code);
    return 0;
  }
};

class TagExit : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    const int code = ArgInt(Arg(0));
    if (code != 0) {
      // A supervising program may wait on this event; nobody else makes it.
      plat::NamedEvent quit;
      if (quit.Open("RuzuRav Quit")) {
        plat::SleepMs(200);
        quit.Set();
        quit.Close();
      }
    }
    // The program's quit traces "Exit()!" itself.
    if (const auto host = Host(); host && host->quit)
      host->quit();
    else
      RawLog("Exit()!");
    return code;
  }
};

class TagIsSysQuit : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    const int flag = Root().IsQuitRequested() ? 1 : 0;
    Arg(0).SetInt(flag);
    return flag;
  }
};

int32_t Kb(uint64_t kb) { return kb > uint64_t(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(kb); }

class TagGetMemInfo : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    plat::MemoryFigures f;
    if (!plat::ReadMemoryFigures(&f)) return 0;
    Arg(0).SetInt(Kb(f.residentKb));
    Arg(1).SetInt(Kb(f.peakResidentKb));
    // The pagefile figures: private memory held, not address space.
    Arg(2).SetInt(Kb(f.privateKb));
    Arg(3).SetInt(Kb(f.peakPrivateKb));
    return Kb(f.residentKb);
  }
};

class TagGetDiskSpace : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    const TagVar& p = Arg(0);
    const std::string path = p.IsString() && p.TextLen() > 0 ? std::string(p.Text()) : ".";
    uint64_t total = 0, free = 0;
    if (!plat::DiskSpace(path, &total, &free)) {
      Arg(1).SetInt(0);
      Arg(2).SetInt(0);
      return 0;
    }
    constexpr uint64_t kMb = 1048576;
    Arg(1).SetInt(Kb(total / kMb));
    Arg(2).SetInt(Kb(free / kMb));
    return 1;
  }
};

class TagDispInfo : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override { return DispInfo(Root().lineNo, ArgInt(Arg(0)), ArgPrinted(Arg(1))); }
};

class TagSetDispColor : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    SetDispColor(Root().lineNo, ArgInt(Arg(0)), ArgInt(Arg(1)));
    return 0;
  }
};

}  // namespace

void SetSysHost(const TagSysHost& host) {
  auto copy = std::make_shared<const TagSysHost>(host);
  std::lock_guard<std::mutex> g(g_hostLock);
  g_host = std::move(copy);
}

void ClearSysHost() {
  std::lock_guard<std::mutex> g(g_hostLock);
  g_host.reset();
}

const TagOpTable& SystemOperations() {
  static const TagOpTable entries = {
      {KeywordId::GetSysInfo, MakeLineOper<TagGetSysInfo>},
      {KeywordId::GetSysInfoVal, MakeLineOper<TagGetSysInfoVal>},
      {KeywordId::Exec, MakeLineOper<TagExec>},
      {KeywordId::Exit, MakeLineOper<TagExit>},
      {KeywordId::IsSysQuit, MakeLineOper<TagIsSysQuit>},
      {KeywordId::GetMemInfo, MakeLineOper<TagGetMemInfo>},
      {KeywordId::GetDiskSpace, MakeLineOper<TagGetDiskSpace>},
      {KeywordId::DispInfo, MakeLineOper<TagDispInfo>},
      {KeywordId::SetDispColor, MakeLineOper<TagSetDispColor>},
  };
  return entries;
}
