// Signalling details of the line: the signal-tone table, the dial-on values,
// raw signalling messages both ways, signalling parameters, the hang-up
// cause, call type and record position, and FSK messages.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "engine/kxcall.h"
#include "operations/argread.h"
#include "operations/signalling.h"
#include "platform/format.h"
#include "platform/text.h"

using plat::Format;

namespace {

constexpr size_t kRawSendMax = 300;
constexpr size_t kFskTextMax = 1024;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

class TagSetTones : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    int32_t params[9];
    for (int i = 0; i < 9; ++i) params[i] = ArgStored(Arg(static_cast<size_t>(i + 1)));
    return c.tones.Set(ArgStored(Arg(0)), params);
  }
};

class TagClearTones : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    c.tones.Clear();
    return 0;
  }
};

class TagSetDialOn : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    c.dialPara[0] = ArgInt(Arg(0));
    c.dialPara[1] = ArgInt(Arg(1));
    return c.dialPara[0];
  }
};

class TagGetSigRawData : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    int n = c.rawRecvLen;
    if (n <= 0) return n;
    if (n > static_cast<int>(sizeof c.rawData)) n = static_cast<int>(sizeof c.rawData);
    c.Log(Format("GetSigRawData=%d", n));
    std::string bytes(reinterpret_cast<const char*>(c.rawData), static_cast<size_t>(n));
    c.rawRecvLen = 0;
    c.rawSendLen = 0;
    Arg(0).SetString(bytes);
    return n;
  }
};

class TagSetSigRawData : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    const TagVar& d = Arg(0);
    std::vector<uint8_t> bytes;
    int r = ParseSigRawData(d.IsString(), std::string(d.Bytes()), ArgStored(d), ArgInt(Arg(1)), &bytes);
    if (r == -1)
      c.Log(Format("%s, len=%d, i=%d, type=%d", GBK("SetSigRawData: 参数不对").c_str(), ArgInt(Arg(1)), ArgStored(d),
                   d.Type()));
    if (r < 0) return r;
    std::memcpy(c.rawData, bytes.data(), bytes.size());
    c.rawSendLen = r;
    return r;
  }
};

class TagSetSigPara : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    const TagVar& v = Arg(1);
    int which = ArgInt(Arg(0));
    if (v.IsString()) return c.SetSigParaStr(which, ArgText(v));
    return c.SetSigPara(which, v.IsNull() ? -1 : ArgInt(v));
  }
};

class TagSetHangupCause : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override { return c.hangupCause = ArgInt(Arg(0)); }
};

class TagSetCallType : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override { return c.callType = ArgInt(Arg(0)); }
};

class TagSetRecPos : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    c.recPos = ArgInt(Arg(0));
    return 0;
  }
};

class TagSendFskMsg : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override { return c.SendFskMsg(ArgInt(Arg(0)), ArgText(Arg(1)), ArgInt(Arg(2))); }
};

class TagRecvFskMsg : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    int number = 0;
    std::string msg;
    int r = c.RecvFskMsg(number, msg, ArgInt(Arg(2)));
    if (msg.size() > kFskTextMax) msg.resize(kFskTextMax);
    Arg(0).SetInt(number);
    Arg(1).SetString(msg);
    return r;
  }
};

}  // namespace

int ParseSigRawData(bool isString, const std::string& text, int stored, int length, std::vector<uint8_t>* out) {
  out->clear();
  if (isString && text.size() >= 7 && HexDigit(text[0]) >= 0 && HexDigit(text[1]) >= 0) {
    // Two digits a byte, blanks passed over, up to the first other character;
    // a last single digit is a byte of its own. Never past the send buffer.
    int pending = -1;
    for (char ch : text) {
      if (ch == ' ') continue;
      int h = HexDigit(ch);
      if (h < 0) break;
      if (pending < 0) {
        pending = h;
        continue;
      }
      if (out->size() >= kRawSendMax) {
        out->clear();
        return -2;
      }
      out->push_back(static_cast<uint8_t>(pending * 16 + h));
      pending = -1;
    }
    if (pending >= 0) {
      if (out->size() >= kRawSendMax) {
        out->clear();
        return -2;
      }
      out->push_back(static_cast<uint8_t>(pending));
    }
    return static_cast<int>(out->size());
  }
  if (!isString || stored < length) return -1;
  size_t n = length <= 0 ? text.size() : static_cast<size_t>(length);
  if (n > kRawSendMax) return -2;
  // The stored integer counts the terminating NUL: a length one past the text takes it.
  out->assign(n, 0);
  std::memcpy(out->data(), text.data(), std::min(n, text.size()));
  return static_cast<int>(n);
}

const TagOpTable& SignallingOperations() {
  static const TagOpTable entries = {
      {KeywordId::SetTones, MakeLineOper<TagSetTones>},
      {KeywordId::ClearTones, MakeLineOper<TagClearTones>},
      {KeywordId::SetDialOn, MakeLineOper<TagSetDialOn>},
      {KeywordId::GetSigRawData, MakeLineOper<TagGetSigRawData>},
      {KeywordId::SetSigRawData, MakeLineOper<TagSetSigRawData>},
      {KeywordId::SetSigPara, MakeLineOper<TagSetSigPara>},
      {KeywordId::SetHangupCause, MakeLineOper<TagSetHangupCause>},
      {KeywordId::SetCallType, MakeLineOper<TagSetCallType>},
      {KeywordId::SetRecPos, MakeLineOper<TagSetRecPos>},
      {KeywordId::SendFskMsg, MakeLineOper<TagSendFskMsg>},
      {KeywordId::RecvFskMsg, MakeLineOper<TagRecvFskMsg>},
  };
  return entries;
}
