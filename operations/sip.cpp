// SIP for scripts: addresses and routes, RTP counters, the proxy interface
// and three callbacks. Each operation hands its arguments to one operation
// of the call object; no line of this system has SIP, so the defaults answer.
#include "operations/sip.h"

#include <mutex>
#include <string>
#include <vector>

#include "engine/kxcall.h"
#include "engine/lineservices.h"
#include "engine/telbasic.h"
#include "operations/argread.h"

namespace {

constexpr size_t kDestAddrMax = 200;
constexpr size_t kPeerMsgMax = 4096;
constexpr size_t kPeerFromMax = 200;
constexpr size_t kProxyTextMax = 300;
constexpr size_t kFieldMax = 2048;

std::string Cut(std::string s, size_t max) {
  if (s.size() > max) s.resize(max);
  return s;
}

// ---------------------------------------------------------------- callbacks

enum CallbackKind { kAccPwd, kAccPwdIp, kRegister, kKinds };
constexpr int kParamsNeeded[kKinds] = {3, 4, 4};

struct Registration {
  TagVar fn;
  TagTelBasic* inst = nullptr;
};

struct Callbacks {
  std::mutex mu;  // held across a run: one callback at a time
  Registration reg[kKinds];
};

Callbacks& TheCallbacks() {
  static Callbacks c;
  return c;
}

// Removes the instance's registrations when it goes.
struct TagSipCallbackSlot : TagLineService {
  TagTelBasic* root = nullptr;
  void Close() override {
    Callbacks& c = TheCallbacks();
    std::lock_guard<std::mutex> g(c.mu);
    for (Registration& r : c.reg)
      if (r.inst == root) {
        r.fn.SetNull();
        r.inst = nullptr;
      }
  }
};

void Register(CallbackKind kind, const TagVar& fn, TagTelBasic& root) {
  root.Services().Get<TagSipCallbackSlot>().root = &root;
  Callbacks& c = TheCallbacks();
  std::lock_guard<std::mutex> g(c.mu);
  c.reg[kind].fn.Assign(fn);
  c.reg[kind].inst = &root;
}

// Runs the registered function with the inputs in its first parameters;
// outs receive the texts of the parameters after them.
int RunCallback(CallbackKind kind, const std::vector<TagVar>& in, const std::vector<std::string*>& outs) {
  Callbacks& c = TheCallbacks();
  std::lock_guard<std::mutex> g(c.mu);
  Registration& r = c.reg[kind];
  if (!r.inst) return -100;
  TagTelBasic* body = r.fn.IsFunction() ? r.fn.Function() : nullptr;
  if (!body) return -101;
  if (body->paramCount < kParamsNeeded[kind] || body->params.size() < static_cast<size_t>(kParamsNeeded[kind]))
    return -102;
  for (size_t i = 0; i < in.size(); ++i) body->params[i]->Assign(in[i]);
  body->RunFunction(r.inst);
  for (size_t k = 0; k < outs.size(); ++k) *outs[k] = ArgText(*body->params[in.size() + k]);
  return kind == kRegister ? 0 : ArgInt(body->RetVal());
}

// ---------------------------------------------------------------- operations

class TagSipGetDestAddr : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    std::string addr;
    int r = c.SipGetDestAddr(ArgText(Arg(0)), addr);
    Arg(1).SetString(Cut(addr, kDestAddrMax));
    return r;
  }
};

class TagSipGetAccAddr : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    std::string addr;
    int number = 999999;
    int r = c.SipGetAccAddr(ArgText(Arg(0)), ArgText(Arg(1)), addr, number);
    Arg(2).SetString(addr);
    Arg(3).SetInt(number);
    return r;
  }
};

class TagSipGetPeerMsg : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    std::string a, b;
    int r = c.SipGetPeerMsg(a, b, static_cast<int>(kPeerMsgMax));
    Arg(0).SetString(Cut(a, kPeerMsgMax));
    Arg(1).SetString(Cut(b, kPeerFromMax));
    return r;
  }
};

class TagSipGetRtpCount : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    int a = 0, b = 0;
    int r = c.SipGetRtpCount(a, b);
    Arg(0).SetInt(a);
    Arg(1).SetInt(b);
    return r;
  }
};

class TagSipSetDialRoute : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override { return c.SipSetDialRoute(ArgText(Arg(0)), ArgText(Arg(1))); }
};

class TagSipSetRtpAddr : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    const TagVar& third = Arg(2);
    return c.SipSetRtpAddr(ArgText(Arg(0)), ArgInt(Arg(1)), third.IsString() ? ArgText(third) : ArgPrinted(third));
  }
};

class TagSipGetAccStat : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override { return c.SipGetAccStat(ArgText(Arg(0))); }
};

class TagSipUnregisterSpecUser : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override { return c.SipUnregisterSpecUser(ArgText(Arg(0))); }
};

class TagSipProxyRecv : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    std::string a, b, d;
    int number = 0;
    int r = c.SipProxyRecv(a, b, number, d);
    Arg(0).SetString(Cut(a, kProxyTextMax));
    Arg(1).SetString(Cut(b, kProxyTextMax));
    Arg(2).SetInt(number);
    Arg(3).SetString(Cut(d, kProxyTextMax));
    return r;
  }
};

// The field's text is the statement's value; the call object's result is not
// kept in _retVal.
class TagSipProxyGetField : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    std::string out;
    std::string def = ArgText(Arg(2));
    int r = c.SipProxyGetField(ArgStored(Arg(0)), ArgText(Arg(1)), Arg(2).IsNull() ? nullptr : &def, out);
    StoreResult(TagVar::Str(Cut(out, kFieldMax)));
    return r;
  }
};

class TagSipProxyAddField : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    return c.SipProxyAddField(ArgStored(Arg(0)), ArgText(Arg(1)), ArgPrinted(Arg(2)), ArgInt(Arg(3)));
  }
};

class TagSipProxyRemoveField : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override { return c.SipProxyRemoveField(ArgStored(Arg(0)), ArgText(Arg(1))); }
};

class TagSipProxySend : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override { return c.SipProxySend(ArgStored(Arg(0)), ArgText(Arg(1))); }
};

class TagSipProxySendEx : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override { return c.SipProxySendEx(ArgStored(Arg(0)), ArgText(Arg(1)), ArgInt(Arg(2))); }
};

class TagSipProxyDirAns : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override { return c.SipProxyDirAns(ArgStored(Arg(0)), ArgInt(Arg(1)), ArgText(Arg(2))); }
};

class TagSipProxySendKeepAlives : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override { return c.SipProxySendKeepAlives(ArgText(Arg(0)), ArgText(Arg(1))); }
};

class TagSetOnSipGetAccPwd : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    Register(kAccPwd, Arg(0), Root());
    return c.SipOnGetAccPwd(SipAccPwdCallback);
  }
};

class TagSetOnSipGetAccPwdIp : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    Register(kAccPwdIp, Arg(0), Root());
    return c.SipOnGetAccPwdIp(SipAccPwdIpCallback);
  }
};

class TagSetOnSipRegisterNotify : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    Register(kRegister, Arg(0), Root());
    return c.SipOnRegisterNotify(SipRegisterNotifyCallback);
  }
};

}  // namespace

int SipAccPwdCallback(const std::string& account, std::string& out1, std::string& out2) {
  return RunCallback(kAccPwd, {TagVar::Str(account)}, {&out1, &out2});
}

int SipAccPwdIpCallback(const std::string& account, std::string& out1, std::string& out2, std::string& out3) {
  return RunCallback(kAccPwdIp, {TagVar::Str(account)}, {&out1, &out2, &out3});
}

int SipRegisterNotifyCallback(const std::string& a, const std::string& b, int x, int y) {
  std::vector<TagVar> in;
  in.push_back(TagVar::Str(a));
  in.push_back(TagVar::Str(b));
  in.push_back(TagVar::Int(x));
  in.push_back(TagVar::Int(y));
  return RunCallback(kRegister, in, {});
}

const TagOpTable& SipOperations() {
  static const TagOpTable entries = {
      {KeywordId::SipGetDestAddr, MakeLineOper<TagSipGetDestAddr>},
      {KeywordId::SipGetAccAddr, MakeLineOper<TagSipGetAccAddr>},
      {KeywordId::SipGetPeerMsg, MakeLineOper<TagSipGetPeerMsg>},
      {KeywordId::SipGetRtpCount, MakeLineOper<TagSipGetRtpCount>},
      {KeywordId::SipSetDialRoute, MakeLineOper<TagSipSetDialRoute>},
      {KeywordId::SipSetRtpAddr, MakeLineOper<TagSipSetRtpAddr>},
      {KeywordId::SipGetAccStat, MakeLineOper<TagSipGetAccStat>},
      {KeywordId::SipUnregisterSpecUser, MakeLineOper<TagSipUnregisterSpecUser>},
      {KeywordId::SipProxyRecv, MakeLineOper<TagSipProxyRecv>},
      {KeywordId::SipProxyGetField, MakeLineOper<TagSipProxyGetField>},
      {KeywordId::SipProxyAddField, MakeLineOper<TagSipProxyAddField>},
      {KeywordId::SipProxyRemoveField, MakeLineOper<TagSipProxyRemoveField>},
      {KeywordId::SipProxySend, MakeLineOper<TagSipProxySend>},
      {KeywordId::SipProxySendEx, MakeLineOper<TagSipProxySendEx>},
      {KeywordId::SipProxyDirAns, MakeLineOper<TagSipProxyDirAns>},
      {KeywordId::SipProxySendKeepAlives, MakeLineOper<TagSipProxySendKeepAlives>},
      {KeywordId::SetOnSipGetAccPwd, MakeLineOper<TagSetOnSipGetAccPwd>},
      {KeywordId::SetOnSipGetAccPwdIp, MakeLineOper<TagSetOnSipGetAccPwdIp>},
      {KeywordId::SetOnSipRegisterNotify, MakeLineOper<TagSetOnSipRegisterNotify>},
  };
  return entries;
}
