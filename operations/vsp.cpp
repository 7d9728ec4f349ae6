// "VspToKxs(": a server page template turned into a script file, its HTML
// pieces handed back in a map.
#include <cstdio>
#include <string>
#include <vector>

#include "engine/argoper.h"
#include "engine/keyword.h"
#include "engine/opfactory.h"
#include "engine/stdout.h"
#include "engine/tagvar.h"
#include "engine/telbasic.h"
#include "operations/argread.h"
#include "platform/path.h"
#include "services/vsp.h"

namespace {

class TagRunVsp : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    if (!Arg(0).IsString() || !Arg(1).IsString()) return -1;
    FILE* in = plat::OpenFile(Arg(0).Text(), "rb");
    if (!in) return Fail(-1, "Open error");
    std::string tmpl;
    char buf[1024];
    size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, in)) > 0) tmpl.append(buf, got);
    const bool readError = std::ferror(in) != 0;
    std::fclose(in);
    if (readError || tmpl.empty()) return Fail(-2, "Read error");

    std::vector<std::string> pieces;
    const std::string script = ConvertVsp(tmpl, &pieces);
    FILE* out = plat::OpenFile(Arg(1).Text(), "wb");
    if (!out) return Fail(-3, "Open Out-File error");
    const bool written = std::fwrite(script.data(), 1, script.size(), out) == script.size();
    const bool closed = std::fclose(out) == 0;
    if (!written || !closed) return Fail(-3, "Open Out-File error");
    TagVar& map = Arg(2);
    for (size_t i = 0; i < pieces.size(); ++i) {
      TagVar key = TagVar::Int(static_cast<int32_t>(i));
      TagVarRef{&map, &key}.Store(TagVar::Str(pieces[i]));
    }
    return 0;
  }

 private:
  // The error goes where the script's "Print(" goes.
  int Fail(int code, const char* message) {
    TStdOut& sink = Root().stdOut;
    if (!sink.IsOpen()) sink.Open("_stdout" + std::to_string(Root().lineNo) + ".txt");
    sink.Print(Root().lineNo, message);
    return code;
  }
};

}  // namespace

const TagOpTable& ServerPageOperations() {
  static const TagOpTable entries = {
      {KeywordId::VspToKxs, MakeLineOper<TagRunVsp>},
  };
  return entries;
}
