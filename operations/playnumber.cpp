// "PlayNumber(": a number, money, a date or a time read aloud as a sequence of
// voice files, joined in memory or appended into one temporary voice file.
#include <cstdio>
#include <string>
#include <vector>

#include "engine/telbasic.h"
#include "core/log.h"
#include "engine/kxcall.h"
#include "lines/memvocs.h"
#include "operations/argread.h"
#include "operations/numread.h"
#include "operations/voice.h"
#include "platform/path.h"

namespace {

// The text is read from a working copy of this size at most.
constexpr size_t kTextCap = 500;
// Every voice after the first is joined without its header.
constexpr int kJoinSkip = 90;

}  // namespace

class TagPlayNumber : public TagCallOper {
 public:
  TagPlayNumber(const std::vector<TagVar*>& args, TagTelBasic* root, bool pc)
      : TagCallOper(args, root), pcFlag_(pc ? 1 : 0) {}

  int Run(TagKxCall& c) override {
    TagTelBasic& root = Root();
    std::string number = ArgPrinted(Arg(0));
    if (number.size() > kTextCap) number.resize(kTextCap);
    std::vector<std::string> stems;
    if (!NumberReadingStems(number, ArgInt(Arg(1)), root.language, stems)) return -1;
    if (stems.empty()) {
      LogAlwaysF("TagPlayNumber('%s'): fCount=%d", number.c_str(), 0);
      return -1;
    }
    std::vector<std::string> names;
    names.reserve(stems.size());
    for (const std::string& s : stems) names.push_back(root.CurSndDir() + s + root.sndExt);

    // Joined voices only help a call object that plays memory; every other
    // one hears the same voices through the file.
    if (!root.playToFile && !pcFlag_ && c.CanPlayMemory() && FindMemVoc(root, names[0]))
      return PlayFromMemory(c, number, names);
    return PlayThroughFile(c, number, names);
  }

 private:
  int PlayThroughFile(TagKxCall& c, const std::string& number, const std::vector<std::string>& names) {
    TagTelBasic& root = Root();
    const bool toFile = root.playToFile != 0;
    std::string file = root.PlayToFileName(root.language);
    FILE* out = plat::OpenFile(file, toFile ? "r+b" : "w+b");
    if (!out) {
      LogAlwaysF("TagPlayNumber('%s'): Open File error: %s", number.c_str(), file.c_str());
      return -2;
    }
    for (const std::string& n : names) AppendVocFile(out, n);
    std::fclose(out);
    if (!toFile) {
      c.PlayFile(file, root.breakOnKey, pcFlag_);
      std::remove(plat::ResolvePath(file).c_str());
    }
    return 0;
  }

  int PlayFromMemory(TagKxCall& c, const std::string& number, const std::vector<std::string>& names) {
    TagTelBasic& root = Root();
    std::vector<std::shared_ptr<const MemStruct>> voices;
    size_t total = 0;
    for (const std::string& n : names) {
      auto v = FindMemVoc(root, n);
      if (!v) continue;
      size_t part = voices.empty() ? static_cast<size_t>(v->size)
                                   : (v->size > kJoinSkip ? static_cast<size_t>(v->size - kJoinSkip) : 0);
      total += part;
      voices.push_back(std::move(v));
    }
    if (total == 0) {
      LogAlwaysF("TagPlayNumber('%s'): size=0", number.c_str());
      return -3;
    }
    std::vector<uint8_t> joined;
    joined.reserve(total);
    for (size_t i = 0; i < voices.size(); ++i) {
      const MemStruct& v = *voices[i];
      size_t skip = i == 0 ? 0 : kJoinSkip;
      if (static_cast<size_t>(v.size) <= skip) continue;
      joined.insert(joined.end(), v.data.begin() + static_cast<long>(skip), v.data.begin() + v.size);
    }
    size_t length = std::min<size_t>(joined.size(), INT32_MAX);
    c.PlayMemory(joined.data(), 0, static_cast<int>(length), 0, root.breakOnKey);
    return 0;
  }

  uint8_t pcFlag_;
};

namespace {

TagOper* MakePlayNumber(const TagOpArgs& a) {
  return new TagPlayNumber(a.args, a.root, a.lineType == kLineVir);
}

TagOper* MakePcPlayNumber(const TagOpArgs& a) {
  return new TagPlayNumber(a.args, a.root, true);
}

}  // namespace

const TagOpTable& PlayNumberOperations() {
  static const TagOpTable entries = {
      {KeywordId::PlayNumber, MakePlayNumber},
      {KeywordId::PcPlayNumber, MakePcPlayNumber},
  };
  return entries;
}

