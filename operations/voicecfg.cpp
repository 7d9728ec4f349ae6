// Voice settings of a line: sound directories and language, default
// extension, break and end keys, play-to-file, volumes and tone parameters.
#include <string>

#include "engine/telbasic.h"
#include "engine/kxcall.h"
#include "operations/argread.h"

class TagSetSndDir : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    for (int i = 0; i < 3; ++i) {
      std::string dir = ArgText(Arg(static_cast<size_t>(i)));
      // A directory given the Linux way already ends in a separator.
      if (!dir.empty() && dir.back() != '\\' && dir.back() != '/') dir += '\\';
      Root().sndDirs[i] = dir;
    }
    return 0;
  }
};

class TagSelectLan : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    int lang = ArgInt(Arg(0));
    if (lang < 0 || lang > 2) return -1;
    Root().language = lang;
    return lang;
  }
};

class TagGetCurSndDir : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    Arg(0).SetString(Root().CurSndDir());
    Arg(1).SetInt(Root().language);
    return 0;
  }
};

class TagSetBreak : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    uint8_t flag = ArgStored(Arg(0)) != 0 ? 1 : 0;
    Root().breakOnKey = flag;
    if (TagKxCall* c = Call()) c->SetBreak(flag);
    return 0;
  }
};

class TagSetEndKey : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    Root().endKey = Arg(0).Text()[0];
    return 0;
  }
};

class TagSetNobkringAns : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    c.SetNobkringAns(ArgStored(Arg(0)) != 0 ? 1 : 0);
    return 0;
  }
};

class TagSetVolume : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    c.SetVolume(ArgInt(Arg(0)), ArgInt(Arg(1)));
    return 0;
  }
};

class TagSetBusyPara : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    c.SetBusyPara(ArgInt(Arg(0)), ArgInt(Arg(1)), ArgInt(Arg(2)));
    return 0;
  }
};

class TagSetRingbackPara : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    c.SetRingbackPara(ArgInt(Arg(0)), ArgInt(Arg(1)), ArgInt(Arg(2)));
    return 0;
  }
};

class TagSetSignalFreqPara : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    c.SetSignalFreqPara(ArgStored(Arg(0)), ArgStored(Arg(1)), ArgStored(Arg(2)));
    return 0;
  }
};

class TagSetSndExt : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    Root().SetSndExt(ArgText(Arg(0)));
    return 0;
  }
};

class TagSetPlayToFile : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override { return Root().SetPlayToFile(ArgInt(Arg(0)) != 0); }
};

const TagOpTable& VoiceCfgOperations() {
  static const TagOpTable entries = {
      {KeywordId::SetSndDir, MakeLineOper<TagSetSndDir>},
      {KeywordId::SelectLan, MakeLineOper<TagSelectLan>},
      {KeywordId::GetCurSndDir, MakeLineOper<TagGetCurSndDir>},
      {KeywordId::SetBreak, MakeLineOper<TagSetBreak>},
      {KeywordId::SetEndKey, MakeLineOper<TagSetEndKey>},
      {KeywordId::SetNobkringAns, MakeLineOper<TagSetNobkringAns>},
      {KeywordId::SetVolume, MakeLineOper<TagSetVolume>},
      {KeywordId::SetBusyPara, MakeLineOper<TagSetBusyPara>},
      {KeywordId::SetRingbackPara, MakeLineOper<TagSetRingbackPara>},
      {KeywordId::SetSignalFreqPara, MakeLineOper<TagSetSignalFreqPara>},
      {KeywordId::SetSndExt, MakeLineOper<TagSetSndExt>},
      {KeywordId::SetPlayToFile, MakeLineOper<TagSetPlayToFile>},
  };
  return entries;
}

