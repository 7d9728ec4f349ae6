// Instant messages for scripts: send and read messages, read their fields,
// answer them, build requests, and transfer files. Each operation hands its
// arguments to one operation of the call object; no line of this system
// has messaging, so the defaults answer.
#include <string>
#include <vector>

#include "engine/kxcall.h"
#include "operations/argread.h"

namespace {

constexpr int kImDestStoredMax = 100;
constexpr size_t kImRecvMax = 300;
constexpr size_t kFieldMax = 2048;

class TagImSend : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    // A destination of 100 characters or more is refused unsent.
    if (ArgStored(Arg(0)) > kImDestStoredMax) return -100;
    std::string body = ArgText(Arg(2));
    return c.ImSend(ArgText(Arg(0)), ArgText(Arg(1)), body, static_cast<int>(body.size()));
  }
};

class TagImTest : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override { return c.ImTest(); }
};

class TagImRead : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    std::string t[4];
    int r = c.ImRead(t[0], t[1], t[2], t[3]);
    if (r > 0)
      for (size_t i = 0; i < 4; ++i) Arg(i).SetString(t[i]);
    return r;
  }
};

class TagImRecv : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    std::string t;
    int number = 0;
    int r = c.ImRecv(t, number);
    if (t.size() > kImRecvMax) t.resize(kImRecvMax);
    Arg(0).SetString(t);
    Arg(1).SetInt(number);
    return r;
  }
};

class TagImMsgGetField : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    std::string out;
    int r = c.ImMsgGetField(ArgStored(Arg(0)), ArgText(Arg(1)), ArgText(Arg(2)), out);
    if (out.size() > kFieldMax) out.resize(kFieldMax);
    StoreResult(TagVar::Str(out));
    return r;
  }
};

class TagImMakeAns : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    return c.ImMakeAns(ArgStored(Arg(0)), ArgInt(Arg(1)), ArgText(Arg(2)), ArgText(Arg(3)), ArgText(Arg(4)),
                       ArgText(Arg(5)));
  }
};

class TagImMsgFree : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override { return c.ImMsgFree(ArgStored(Arg(0))); }
};

class TagImMakeReq : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    std::vector<std::string> texts;
    for (size_t i = 0; i < 8; ++i) texts.push_back(ArgText(Arg(i)));
    std::string given = ArgText(Arg(8));
    std::string id = given;
    int r = c.ImMakeReq(texts, id);
    if (given.empty()) Arg(8).SetString(id);
    return r;
  }
};

class TagImFileSend : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    std::string given = ArgText(Arg(1));
    std::string id = given, t1, t2;
    int n1 = 0, n2 = 0;
    int r = c.ImFileSend(ArgText(Arg(0)), id, n1, t1, n2, t2);
    if (given.empty()) Arg(1).SetString(id);
    Arg(2).SetInt(n1);
    Arg(3).SetString(t1);
    Arg(4).SetInt(n2);
    Arg(5).SetString(t2);
    return r;
  }
};

class TagImFileRecv : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    int n1 = 0, n2 = 0;
    std::string a, b, d, t;
    int r = c.ImFileRecv(ArgInt(Arg(0)), ArgText(Arg(1)), ArgInt(Arg(2)), n1, a, b, d, n2, t);
    Arg(3).SetInt(n1);
    Arg(4).SetString(a);
    Arg(5).SetString(b);
    Arg(6).SetString(d);
    Arg(7).SetInt(n2);
    Arg(8).SetString(t);
    return r;
  }
};

class TagImFileCheck : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    int a = 0, b = 0;
    int r = c.ImFileCheck(ArgStored(Arg(0)), a, b);
    Arg(1).SetInt(a);
    Arg(2).SetInt(b);
    return r;
  }
};

class TagImFileEnd : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override { return c.ImFileEnd(ArgStored(Arg(0))); }
};

class TagImFileProcAnswer : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override { return c.ImFileProcAnswer(ArgText(Arg(0))); }
};

}  // namespace

const TagOpTable& ImOperations() {
  static const TagOpTable entries = {
      {KeywordId::ImSend, MakeLineOper<TagImSend>},
      {KeywordId::ImTest, MakeLineOper<TagImTest>},
      {KeywordId::ImRead, MakeLineOper<TagImRead>},
      {KeywordId::ImRecv, MakeLineOper<TagImRecv>},
      {KeywordId::ImMsgGetField, MakeLineOper<TagImMsgGetField>},
      {KeywordId::ImMakeAns, MakeLineOper<TagImMakeAns>},
      {KeywordId::ImMsgFree, MakeLineOper<TagImMsgFree>},
      {KeywordId::ImMakeReq, MakeLineOper<TagImMakeReq>},
      {KeywordId::ImFileSend, MakeLineOper<TagImFileSend>},
      {KeywordId::ImFileRecv, MakeLineOper<TagImFileRecv>},
      {KeywordId::ImFileCheck, MakeLineOper<TagImFileCheck>},
      {KeywordId::ImFileEnd, MakeLineOper<TagImFileEnd>},
      {KeywordId::ImFileProcAnswer, MakeLineOper<TagImFileProcAnswer>},
  };
  return entries;
}
