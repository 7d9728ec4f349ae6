// Speech for scripts: the line's speech settings, text spoken to the caller
// or on the PC sound card, and text synthesised into voice files, by the
// pinyin library (mode 1) or the speech engine (mode 0).
#include <cstdio>
#include <string>

#include "engine/kxcall.h"
#include "engine/telbasic.h"
#include "lines/tts.h"
#include "operations/argread.h"
#include "platform/path.h"
#include "services/big5.h"

namespace {

std::string ToGbIfBig5(const std::string& s) { return IsBig5Text(s.c_str()) ? Big5ToGbk(s) : s; }

class TagSetTtsPara : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override { return Root().SetTtsPara(ArgInt(Arg(0)), ArgText(Arg(1)), ArgText(Arg(2))); }
};

class TagTxtSpeak : public TagArgOper {
 public:
  TagTxtSpeak(std::vector<TagVar*> args, TagTelBasic* root, bool onPc)
      : TagArgOper(std::move(args), root), onPc_(onPc) {}
  int Execute() override {
    TagKxCall* call = Call();
    if (!call) return -1;
    TagTelBasic& root = Root();
    std::string spoken = ArgText(Arg(0));
    const int fileFlag = ArgInt(Arg(1)) != 0 ? 1 : 0;
    const int xmlFlag = ArgInt(Arg(2));
    // A file name is used as it stands.
    if (!fileFlag) spoken = ToGbIfBig5(spoken);
    if (root.ttsMode != 1) return call->TxtSpeak(spoken, fileFlag, xmlFlag, onPc_ ? 1 : 0);
    // The pinyin library speaks the file's spoken, not its name.
    if (fileFlag) {
      FILE* f = plat::OpenFile(spoken, "rb");
      if (!f) return -1;
      std::string content;
      char buf[4096];
      size_t n;
      while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) content.append(buf, n);
      std::fclose(f);
      spoken = ToGbIfBig5(content);
    }
    const std::string temp = root.TtsFileName(root.language);
    int r = root.PinyinSpeakToFile(spoken, temp);
    if (r > 0) {
      // To the caller on a card line; only the PC flag plays locally.
      if (onPc_)
        call->PcPlay(temp, 0, 1, 0);
      else
        call->PlayFile(temp, root.breakOnKey, 0);
    }
    std::remove(plat::ResolvePath(temp).c_str());
    return r;
  }

 private:
  bool onPc_;
};

class TagTxtSpeakToFile : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    TagTelBasic& root = Root();
    const std::string target = root.CurSndDir() + ArgText(Arg(1));
    const std::string spoken = ToGbIfBig5(ArgText(Arg(0)));
    const int format = ArgInt(Arg(2));
    const int flag = ArgInt(Arg(3));
    if (root.ttsMode == 1) return root.PinyinSpeakToFile(spoken, target);
    TagKxCall* call = Call();
    if (root.ttsMode != 0) return call ? call->TxtSpeakToFile(spoken, target, format, flag) : -1;
    if (format == 1) {
      // Spoken as 16-bit PCM, then turned into A-law by the formula.
      const std::string pcm = target + ".wav";
      int r = root.SapiSpeakToFile(spoken, pcm, flag, 0);
      if (r >= 0) {
        PcmToAlawWave(pcm, target);
        std::remove(plat::ResolvePath(pcm).c_str());
      } else if (call) {
        call->LogAlways("MsTxt2Voc(A-Law) Err.");
      }
      return r;
    }
    int r = root.SapiSpeakToFile(spoken, target, flag, format);
    if (r < 0 && call) call->LogAlways("MsTxt2Voc(PCM) Err.");
    return r;
  }
};

TagOper* MakeTxtSpeak(const TagOpArgs& a) { return new TagTxtSpeak(a.args, a.root, a.lineType == kLineVir); }
TagOper* MakePcTxtSpeak(const TagOpArgs& a) { return new TagTxtSpeak(a.args, a.root, true); }

}  // namespace

const TagOpTable& SpeechOperations() {
  static const TagOpTable entries = {
      {KeywordId::SetTtsPara, MakeLineOper<TagSetTtsPara>},
      {KeywordId::TxtSpeak, MakeTxtSpeak},
      {KeywordId::PcTxtSpeak, MakePcTxtSpeak},
      {KeywordId::TxtSpeakToFile, MakeLineOper<TagTxtSpeakToFile>},
  };
  return entries;
}
