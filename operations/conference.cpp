// Named conference rooms for scripts: join and leave a room, list and find
// its members, record or play into it. The call object's room operations
// keep the registry; here are the names and files they are given.
#include <map>
#include <string>

#include "engine/kxcall.h"
#include "engine/telbasic.h"
#include "operations/argread.h"
#include "operations/voice.h"

namespace {

// A room is named by its value printed with strings quoted: the string 5
// and the integer 5 are different rooms.
std::string RoomName(const TagVar& v) { return v.ToText(true); }

class TagJoinConf : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override { return c.JoinNameConf(RoomName(Arg(0)), ArgInt(Arg(1))); }
};

class TagExitConf : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override { return c.ExitNameConf(); }
};

class TagGetConfNum : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    std::map<int, int> members;
    int n = c.GetConfMembers(RoomName(Arg(0)), &members);
    TagVar& out = Arg(1);
    if (!out.IsConst())
      for (auto& [line, listen] : members) out.SetItem(TagVar::Int(line), TagVar::Int(listen));
    return n;
  }
};

class TagIsInConf : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    int32_t listen = 0, session = 0;
    std::string name;
    int r = c.FindConfOfLine(ArgInt(Arg(0)), &listen, &name, &session);
    if (r != 1) {
      name.clear();
      listen = 0;
    }
    Arg(1).SetString(name);
    Arg(2).SetInt(listen);
    return r;
  }
};

class TagRecConf : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    return c.RecNameConf(RoomName(Arg(0)), ResolveVocFileName(Root(), ArgText(Arg(1))));
  }
};

class TagRecConfCh : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    std::string file = ArgText(Arg(2));
    if (!file.empty()) file = ResolveVocFileName(Root(), file);
    return c.RecNameConfCh(RoomName(Arg(0)), ArgInt(Arg(1)), file);
  }
};

class TagPlayConf : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    return c.PlayNameConf(RoomName(Arg(0)), ResolveVocFileName(Root(), ArgText(Arg(1))), ArgInt(Arg(2)));
  }
};

}  // namespace

const TagOpTable& ConferenceOperations() {
  static const TagOpTable entries = {
      {KeywordId::JoinConf, MakeLineOper<TagJoinConf>},     {KeywordId::ExitConf, MakeLineOper<TagExitConf>},
      {KeywordId::GetConfNum, MakeLineOper<TagGetConfNum>}, {KeywordId::IsInConf, MakeLineOper<TagIsInConf>},
      {KeywordId::RecConf, MakeLineOper<TagRecConf>},       {KeywordId::RecConfCh, MakeLineOper<TagRecConfCh>},
      {KeywordId::PlayConf, MakeLineOper<TagPlayConf>},
  };
  return entries;
}
