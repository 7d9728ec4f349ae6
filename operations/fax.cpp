// Fax operations: the station identity, the card's fax channels, sending and
// receiving a fax on the line, and rendering a text file into a fax file.
#include <string>

#include "engine/kxcall.h"
#include "lines/txtfax.h"
#include "operations/argread.h"
#include "services/big5.h"

namespace {

class TagSetFaxLocalId : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    c.SetFaxLocalId(ArgText(Arg(0)));
    return 0;
  }
};

class TagGetFaxResource : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    int total = 0, inUse = 0;
    c.GetFaxResource(total, inUse);
    Arg(0).SetInt(total);
    Arg(1).SetInt(inUse);
    return 0;
  }
};

class TagSendFax : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override { return c.SendFax(ArgText(Arg(0))); }
};

class TagRecvFax : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override { return c.RecvFax(ArgText(Arg(0))); }
};

// Needs no call object: it only reads and writes files.
class TagTxt2FaxFile : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    TagTxtCvtFax conv(ArgText(Arg(2)), ArgText(Arg(0)), ArgText(Arg(1)), FaxTextCodec{IsBig5Text, Big5ToGbk});
    return conv.status;
  }
};

}  // namespace

const TagOpTable& FaxOperations() {
  static const TagOpTable entries = {
      {KeywordId::SetFaxLocalId, MakeLineOper<TagSetFaxLocalId>},
      {KeywordId::GetFaxResource, MakeLineOper<TagGetFaxResource>},
      {KeywordId::SendFax, MakeLineOper<TagSendFax>},
      {KeywordId::RecvFax, MakeLineOper<TagRecvFax>},
      {KeywordId::Txt2FaxFile, MakeLineOper<TagTxt2FaxFile>},
  };
  return entries;
}
