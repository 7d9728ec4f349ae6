// Key collection on card lines and on the keys cell of virtual lines, key
// sending and the settings of collection and display.
#include "operations/keys.h"

#include <algorithm>
#include <memory>
#include <string>

#include "engine/telbasic.h"
#include "core/monitor.h"
#include "lines/cardcall.h"
#include "engine/kxcall.h"
#include "operations/argread.h"
#include "operations/voice.h"
#include "platform/tick.h"

namespace {

// Capacity of the card collection's buffer when the script sets no maximum,
// and the largest maximum it accepts.
constexpr int kDefaultKeys = 100;
constexpr int kMaxKeys = 1024;
// The PC collection looks at no more of the keys cell than this.
constexpr size_t kCellCopy = 1027;

}  // namespace

void NormaliseStar(std::string& keys, bool starToPoint) {
  for (char& c : keys) {
    if (starToPoint && c == '*') c = '.';
    if (!starToPoint && c == '.') c = '*';
  }
}

class TagGetKeys : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    int m = ArgStored(Arg(1));
    // The buffer holds m keys (at most 1024), or 100 when there is no maximum.
    size_t capacity = m <= 0 ? kDefaultKeys : static_cast<size_t>(std::min(m, kMaxKeys));
    int passed = std::min(m, kMaxKeys);
    std::string keys;
    int r = c.GetKeys(keys, passed, ArgStored(Arg(2)), static_cast<unsigned char>(Root().endKey));
    keys = std::string(keys.c_str());
    if (keys.size() > capacity) keys.resize(capacity);
    if (r > static_cast<int>(capacity)) r = static_cast<int>(capacity);
    // A released call is not answered with the time-out voice, and an idle
    // circuit gets no second release.
    if (r < 0 && !Root().timeoutVoice.empty() && c.callState == kCallConnected) {
      c.PlayFile(ResolveVocFileName(Root(), Root().timeoutVoice), 0, 0);
      c.Hangup();
    }
    NormaliseStar(keys, Root().starToPoint != 0);
    Arg(0).SetString(keys);
    return r;
  }
};

class TagPcGetKeys : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    TagTelBasic& root = Root();
    const char end = root.endKey;
    auto isTerminator = [end](char k) {
      if (end == 0) return false;
      if (k == '#' || k == end) return true;
      return (end == '*' || end == '.') && (k == '*' || k == '.');
    };
    int m = std::max(ArgStored(Arg(1)), 0);
    int t = ArgStored(Arg(2));
    int k = c.keyTime;
    const uint32_t start = plat::TickCount();
    uint32_t lastKey = start;
    size_t lastLen = 0;
    const int line = root.lineNo;
    // Keys typed into the cell wake the line at once; so do stops and the
    // operator's hang-up (through the call object's wakeup).
    struct KeysWaiter {
      std::shared_ptr<TagMonitor> monitor;
      int line;
      ~KeysWaiter() {
        if (monitor) monitor->SetKeysWakeup(line, nullptr);
      }
    } waiter{GetMonitor(), line};
    if (waiter.monitor) waiter.monitor->SetKeysWakeup(line, &c.wakeup);
    while (!root.stopRequested && !root.lineStopping) {
      c.PollState();
      if (c.callState == kCallReleased) break;
      bool done = false, looked = false;
      int result = 0;
      size_t seen = 0;
      auto decide = [&](std::string_view cell) -> size_t {
        looked = true;
        cell = cell.substr(0, std::min(cell.size(), kCellCopy));
        seen = cell.size();
        for (size_t p = 0; p < cell.size(); ++p) {
          if (isTerminator(cell[p])) {
            done = true;
            result = static_cast<int>(p + 1);
            return p + 1;
          }
        }
        if (cell.size() >= static_cast<size_t>(m)) {
          done = true;
          result = m;
          return static_cast<size_t>(m);
        }
        return 0;
      };
      std::string taken;
      if (TagMonitor* mon = CurrentMonitor()) taken = mon->TakeKeys(line, decide);
      // No monitor, or no cell for this line: an empty cell.
      if (!looked) decide(std::string_view());
      if (done) {
        if (!taken.empty() && taken.back() == '#' && end != 0) taken.pop_back();
        NormaliseStar(taken, root.starToPoint != 0);
        Arg(0).SetString(taken);
        return result;
      }
      uint32_t now = plat::TickCount();
      if (seen > lastLen) {
        lastKey = now;
        lastLen = seen;
      }
      if ((k > 0 && now - lastKey > static_cast<uint32_t>(k) * 1000u) ||
          (t > 0 && now - start > static_cast<uint32_t>(t) * 1000u)) {
        Arg(0).SetString("");
        return -1;
      }
      // Asleep until a notice or the nearer time-out.
      uint32_t wait = TagKxCall::IdleWaitMs();
      auto until = [&](uint32_t from, int seconds) {
        const uint32_t due = static_cast<uint32_t>(seconds) * 1000u + 1u, gone = now - from;
        if (gone < due) wait = std::min(wait, due - gone);
      };
      if (k > 0) until(lastKey, k);
      if (t > 0) until(start, t);
      c.wakeup.Wait(wait);
    }
    Arg(0).SetString("");
    return -2;
  }
};

class TagClearKeys : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    c.ClearKeys();
    return 0;
  }
};

class TagKeysLen : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    int n = c.KeysLen();
    Arg(0).SetInt(n);
    return n;
  }
};

class TagSetKeys : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override { return c.SendKeys(ArgText(Arg(0))); }
};

class TagSetKeyTime : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    c.SetKeyTime(ArgInt(Arg(0)));
    return 0;
  }
};

class TagSetTimeoutVoc : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    if (!Arg(0).IsString()) {
      Root().timeoutVoice.clear();
      return -1;
    }
    Root().timeoutVoice = ArgText(Arg(0));
    return 0;
  }
};

class TagSetStarToPoint : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    Root().starToPoint = ArgInt(Arg(0)) != 0 ? 1 : 0;
    return 0;
  }
};

class TagSetDispKeys : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override { return Root().dispKeysMode = ArgInt(Arg(0)); }
};

class TagPcSetKeys : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    TagMonitor* mon = CurrentMonitor();
    if (!mon) return 0;
    int line = ArgInt(Arg(0));
    if (line < 0 || line >= mon->Lines()) return 0;
    // The line manager tells the key display mode of a line's script,
    // negative when the line has none.
    KeysModeLookup lookup = GetKeysModeLookup();
    int mode = lookup ? lookup(line) : -1;
    if (mode <= 0) return 0;
    DispKeys(line, ArgPrinted(Arg(1)), mode);
    return 0;
  }
};

namespace {

// "GetKeys(" collects on the keys cell on a virtual line.
TagOper* MakeGetKeys(const TagOpArgs& a) {
  if (a.lineType == kLineVir) return new TagPcGetKeys(a.args, a.root);
  return new TagGetKeys(a.args, a.root);
}

}  // namespace

const TagOpTable& KeyOperations() {
  static const TagOpTable entries = {
      {KeywordId::GetKeys, MakeGetKeys},
      {KeywordId::PcGetKeys, MakeLineOper<TagPcGetKeys>},
      {KeywordId::ClearKeys, MakeLineOper<TagClearKeys>},
      {KeywordId::KeysLen, MakeLineOper<TagKeysLen>},
      {KeywordId::SetKeys, MakeLineOper<TagSetKeys>},
      {KeywordId::SetKeyTime, MakeLineOper<TagSetKeyTime>},
      {KeywordId::SetTimeoutVoc, MakeLineOper<TagSetTimeoutVoc>},
      {KeywordId::SetStarToPoint, MakeLineOper<TagSetStarToPoint>},
      {KeywordId::SetDispKeys, MakeLineOper<TagSetDispKeys>},
      {KeywordId::PcSetKeys, MakeLineOper<TagPcSetKeys>},
  };
  return entries;
}

