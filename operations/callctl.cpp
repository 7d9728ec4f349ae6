// Call control: wait for and answer calls, dial out, read and set the numbers
// of the call, release it. Each hands its arguments to the call object.
#include <string>

#include "engine/telbasic.h"
#include "engine/kxcall.h"
#include "operations/argread.h"

namespace {

// The call object writes at most this much into a number buffer.
constexpr size_t kNumberCap = 511;

std::string CutNumber(std::string s) {
  if (s.size() > kNumberCap) s.resize(kNumberCap);
  return s;
}

int Bool01(int v) { return v != 0 ? 1 : 0; }

// The shared rule of "Dial(" and "CheckDial(" for a failed dial.
void DialFailed(TagTelBasic& root, TagKxCall& call, int r) {
  if (r >= 0) return;
  if (call.dialFailedMode == 1)
    call.callState = kCallDialFailed;
  else
    root.lastDialResult = r;
}

}  // namespace

class TagWaitRing : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override { return c.WaitRing(ArgStored(Arg(0))); }
};

class TagIsRings : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override { return c.IsRings(ArgStored(Arg(0))); }
};

class TagIsRinging : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    std::string caller, callee;
    int r = c.IsRinging(caller, callee);
    if (r > 0) {
      Arg(0).SetString(CutNumber(caller));
      Arg(1).SetString(CutNumber(callee));
    }
    return r;
  }
};

class TagAnswer : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override { return c.Answer(static_cast<uint8_t>(Bool01(ArgInt(Arg(0))))); }
};

class TagSetCharge : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override { return c.SetCharge(Bool01(ArgInt(Arg(0)))); }
};

class TagOutCall : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    int r = c.OutCall(ArgText(Arg(0)), 0, 0);
    Root().lastDialResult = r;
    if (r < 0 && c.dialFailedMode == 1) c.callState = kCallDialFailed;
    return r;
  }
};

class TagDial : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    if (ArgStored(Arg(0)) > 100) return -100;
    int r = c.Dial(ArgText(Arg(0)));
    DialFailed(Root(), c, r);
    return r;
  }
};

class TagCheckDial : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    int r = c.CheckDial();
    DialFailed(Root(), c, r);
    return r;
  }
};

class TagSetDialFailedTo : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override { return c.dialFailedMode = ArgInt(Arg(0)); }
};

class TagHangup : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    c.Hangup();
    return 0;
  }
};

class TagSetCallerId : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    c.SetCallerId(ArgText(Arg(0)));
    return 0;
  }
};

class TagSetFirstCalleeId : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    c.SetFirstCalleeId(ArgText(Arg(0)), ArgInt(Arg(1)));
    return 0;
  }
};

class TagSetSubAddr : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    c.SetSubAddr(ArgText(Arg(0)), ArgText(Arg(1)));
    return 0;
  }
};

// "GetCallerId(" and its two companions: the number is logged when there is
// one and always written.
template <int (TagKxCall::*Get)(std::string&)>
class TagGetNumber : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    std::string number;
    int r = (c.*Get)(number);
    number = CutNumber(std::string(number.c_str()));
    if (!number.empty()) c.Log(number);
    Arg(0).SetString(number);
    return r;
  }
};
using TagGetCallerId = TagGetNumber<&TagKxCall::GetCallerId>;
using TagGetCalleeId = TagGetNumber<&TagKxCall::GetCalleeId>;
using TagGetFirstCalleeId = TagGetNumber<&TagKxCall::GetFirstCalleeId>;

class TagMakeRing : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override { return c.MakeRing(ArgText(Arg(0))); }
};

class TagGetHookState : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override { return c.GetHookState(); }
};

class TagTransferTo : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override { return c.TransferTo(ArgText(Arg(0))); }
};

class TagOpenLine : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    c.OpenLine();
    return 0;
  }
};

class TagCloseLine : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    c.CloseLine();
    return 0;
  }
};

class TagEnableLineSpeaker : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    c.EnableLineSpeaker(ArgInt(Arg(0)));
    return 0;
  }
};

class TagSetMaxTalkTime : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    int n = ArgInt(Arg(0));
    if (n <= 0) {
      c.maxTalkTime = 0;
    } else if (n < 60) {
      c.maxTalkTime = 60;  // the minimum; the talk clock keeps running
    } else {
      c.maxTalkTime = n;
      c.connectTime = NowSeconds();
    }
    return c.maxTalkTime;
  }
};

const TagOpTable& CallCtlOperations() {
  static const TagOpTable entries = {
      {KeywordId::WaitRing, MakeLineOper<TagWaitRing>},
      {KeywordId::IsRings, MakeLineOper<TagIsRings>},
      {KeywordId::IsRinging, MakeLineOper<TagIsRinging>},
      {KeywordId::Answer, MakeLineOper<TagAnswer>},
      {KeywordId::SetCharge, MakeLineOper<TagSetCharge>},
      {KeywordId::OutCall, MakeLineOper<TagOutCall>},
      {KeywordId::Dial, MakeLineOper<TagDial>},
      {KeywordId::CheckDial, MakeLineOper<TagCheckDial>},
      {KeywordId::SetDialFailedTo, MakeLineOper<TagSetDialFailedTo>},
      {KeywordId::Hangup, MakeLineOper<TagHangup>},
      {KeywordId::SetCallerId, MakeLineOper<TagSetCallerId>},
      {KeywordId::SetFirstCalleeId, MakeLineOper<TagSetFirstCalleeId>},
      {KeywordId::SetSubAddr, MakeLineOper<TagSetSubAddr>},
      {KeywordId::GetCallerId, MakeLineOper<TagGetCallerId>},
      {KeywordId::GetCalleeId, MakeLineOper<TagGetCalleeId>},
      {KeywordId::GetFirstCalleeId, MakeLineOper<TagGetFirstCalleeId>},
      {KeywordId::MakeRing, MakeLineOper<TagMakeRing>},
      {KeywordId::GetHookState, MakeLineOper<TagGetHookState>},
      {KeywordId::TransferTo, MakeLineOper<TagTransferTo>},
      {KeywordId::OpenLine, MakeLineOper<TagOpenLine>},
      {KeywordId::CloseLine, MakeLineOper<TagCloseLine>},
      {KeywordId::EnableLineSpeaker, MakeLineOper<TagEnableLineSpeaker>},
      {KeywordId::SetMaxTalkTime, MakeLineOper<TagSetMaxTalkTime>},
  };
  return entries;
}

