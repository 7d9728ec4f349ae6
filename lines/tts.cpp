#include "lines/tts.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "core/log.h"
#include "engine/speechhooks.h"
#include "lines/pinyin.h"
#include "lines/voccodec.h"
#include "lines/vocfile.h"
#include "platform/bytes.h"
#include "platform/path.h"
#include "platform/riff.h"
#include "platform/speech.h"

namespace {

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(s[i])) != std::toupper(static_cast<unsigned char>(prefix[i])))
      return false;
  return true;
}

// The LANGID of a LANG tag's body ("LANG LANGID=\"804\""), hexadecimal; -1
// when it has none.
int LangIdOf(std::string_view tag) {
  size_t at = 0;
  while (at < tag.size() && !StartsWithNoCase(tag.substr(at), "LANGID")) ++at;
  if (at >= tag.size()) return -1;
  at += 6;
  while (at < tag.size() && (tag[at] == ' ' || tag[at] == '=' || tag[at] == '"' || tag[at] == '\'')) ++at;
  int v = 0, digits = 0;
  for (; at < tag.size() && std::isxdigit(static_cast<unsigned char>(tag[at])) && digits < 8; ++at, ++digits)
    v = v * 16 + (std::isdigit(static_cast<unsigned char>(tag[at])) ? tag[at] - '0'
                                                                       : std::toupper(tag[at]) - 'A' + 10);
  return digits ? v : -1;
}

void AppendDecoded(std::string& out, std::string_view text) {
  static const std::pair<const char*, char> kEntities[] = {
      {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&quot;", '"'}, {"&apos;", '\''}};
  for (size_t i = 0; i < text.size();) {
    bool done = false;
    if (text[i] == '&')
      for (const auto& [name, c] : kEntities)
        if (text.substr(i, std::strlen(name)) == name) {
          out.push_back(c);
          i += std::strlen(name);
          done = true;
          break;
        }
    if (!done) out.push_back(text[i++]);
  }
}

// The header of a file the file speaker writes: an 18-byte format chunk as
// the speech interface writes it, 8000 Hz mono in the chosen format.
void WriteSpokenHeader(FILE* f, int formatType, uint32_t dataBytes) {
  const bool pcm = formatType != 1 && formatType != 2;
  const uint16_t tag = formatType == 1 ? plat::kWaveFormatALaw : (formatType == 2 ? plat::kWaveFormatMuLaw : 1);
  uint8_t h[46] = {};
  std::memcpy(h, "RIFF", 4);
  plat::PutLe32(h + 4, 38 + dataBytes);
  std::memcpy(h + 8, "WAVEfmt ", 8);
  plat::PutLe32(h + 16, 18);
  plat::PutLe16(h + 20, tag);
  plat::PutLe16(h + 22, 1);
  plat::PutLe32(h + 24, 8000);
  plat::PutLe32(h + 28, pcm ? 16000 : 8000);
  plat::PutLe16(h + 32, pcm ? 2 : 1);
  plat::PutLe16(h + 34, pcm ? 16 : 8);
  std::memcpy(h + 38, "data", 4);
  plat::PutLe32(h + 42, dataBytes);
  std::fseek(f, 0, SEEK_SET);
  std::fwrite(h, 1, sizeof h, f);
}

std::string ReadWholeFile(const std::string& name, bool& ok) {
  std::string text;
  FILE* f = plat::OpenFile(name, "rb");
  ok = f != nullptr;
  if (!f) return text;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  std::fclose(f);
  return text;
}

}  // namespace

std::string WrapLanguage(std::string_view text, bool chinese) {
  std::string s = chinese ? "<LANG LANGID=\"804\">" : "<LANG LANGID=\"409\">";
  s.append(text);
  s += "</LANG>";
  return s;
}

std::vector<TagSpeechPart> SplitSpeechMarkup(std::string_view text, int defaultLang) {
  std::vector<TagSpeechPart> parts;
  std::vector<int> langs{defaultLang};
  std::string pending;
  auto flush = [&] {
    if (pending.empty()) return;
    if (!parts.empty() && parts.back().langId == langs.back())
      parts.back().text += pending;
    else
      parts.push_back({langs.back(), pending});
    pending.clear();
  };
  size_t i = 0;
  while (i < text.size()) {
    size_t lt = text.find('<', i);
    if (lt == std::string_view::npos) lt = text.size();
    AppendDecoded(pending, text.substr(i, lt - i));
    if (lt >= text.size()) break;
    size_t gt = text.find('>', lt);
    if (gt == std::string_view::npos) break;  // an unfinished tag is not spoken
    std::string_view tag = text.substr(lt + 1, gt - lt - 1);
    if (StartsWithNoCase(tag, "LANG") && (tag.size() == 4 || !std::isalnum(static_cast<unsigned char>(tag[4])))) {
      int id = LangIdOf(tag);
      flush();
      langs.push_back(id < 0 ? langs.back() : id);
      if (!tag.empty() && tag.back() == '/') langs.pop_back();
    } else if (StartsWithNoCase(tag, "/LANG")) {
      flush();
      if (langs.size() > 1) langs.pop_back();
    } else {
      // Other tags are dropped, as a word break.
      pending.push_back(' ');
    }
    i = gt + 1;
  }
  flush();
  return parts;
}

int SpeakParts(const std::vector<TagSpeechPart>& parts, std::vector<int16_t>& out,
               const std::atomic<uint8_t>* cancel) {
  if (int r = plat::SpeechEngineStart(); r != 0) return r;
  for (const TagSpeechPart& p : parts) {
    if (cancel && cancel->load()) break;
    if (int r = plat::SpeakGbText(p.text, p.langId, out, cancel); r != 0) return r;
  }
  return 0;
}

// --- TagTTS ---

TagTTS::TagTTS(int device, const std::atomic<uint8_t>* cancel) : device_(device), cancel_(cancel) {
  // The engine stands in for the voice: its start failure is the error.
  error_ = plat::SpeechEngineStart();
}

TagTTS::~TagTTS() { Stop(); }

int TagTTS::Play(std::vector<int16_t> samples) {
  Stop();
  audio_ = std::move(samples);
  if (audio_.empty()) return 0;
  int r = plat::WaveOut::Open(out_, device_, plat::WaveFormat::Pcm16(), nullptr);
  if (r != plat::kMmNoError) {
    out_.reset();
    return plat::kSpeechInvalidArg;
  }
  header_.data = reinterpret_cast<uint8_t*>(audio_.data());
  header_.bufferLength = static_cast<uint32_t>(audio_.size() * sizeof(int16_t));
  header_.flags = 0;
  if (out_->Prepare(&header_) != plat::kMmNoError || out_->Write(&header_) != plat::kMmNoError) {
    out_->Close();
    out_.reset();
    return plat::kSpeechInvalidArg;
  }
  queued_ = true;
  return 0;
}

int TagTTS::SpeakLang(const std::string& text, bool chinese) {
  if (error_) return error_;
  std::vector<int16_t> samples;
  int r = SpeakParts(SplitSpeechMarkup(WrapLanguage(text, chinese), plat::kLangChinese), samples, cancel_);
  if (r != 0) return r;
  return Play(std::move(samples));
}

int TagTTS::Speak(bool xml, const std::string& fileName) {
  if (error_) return error_;
  bool ok = false;
  std::string text = ReadWholeFile(fileName, ok);
  if (!ok) return plat::kSpeechInvalidArg;
  std::vector<TagSpeechPart> parts =
      xml ? SplitSpeechMarkup(text, plat::kLangChinese) : std::vector<TagSpeechPart>{{plat::kLangChinese, text}};
  std::vector<int16_t> samples;
  if (int r = SpeakParts(parts, samples, cancel_); r != 0) return r;
  return Play(std::move(samples));
}

bool TagTTS::IsDone() {
  if (error_ || !queued_ || !out_) return true;
  return (header_.flags.load() & plat::kWhdrDone) != 0;
}

void TagTTS::Stop() {
  if (out_) {
    out_->Reset();
    out_->Unprepare(&header_);
    out_->Close();
    out_.reset();
  }
  queued_ = false;
}

// --- TagMsTTS ---

TagMsTTS::TagMsTTS() = default;

bool TagMsTTS::Ready() {
  if (tried_) return error_ == 0;
  tried_ = true;
  error_ = plat::SpeechEngineStart();
  if (error_ != 0) {
    LogAlwaysF("MS TTS : Could not create a TTS voice on the local machine, hr=0x%x", static_cast<unsigned>(error_));
    if (error_ == plat::kSpeechClassNotRegistered) LogAlways("REGDB_E_CLASSNOTREG");
  }
  return error_ == 0;
}

int TagMsTTS::SpeakToFile(const std::string& text, const std::string& file, bool chinese, int formatType) {
  if (!Ready()) return error_;
  FILE* f = plat::OpenFile(file, "wb");
  if (!f) {
    LogAlwaysF("MS TTS: BindToFile(%s), hr=%d", file.c_str(), plat::kSpeechInvalidArg);
    LogAlwaysF("MS TTS: cpWavStream=NULL, ret=%d", plat::kSpeechInvalidArg);
    return -1;
  }
  WriteSpokenHeader(f, formatType, 0);
  std::vector<int16_t> samples;
  int r = SpeakParts(SplitSpeechMarkup(WrapLanguage(text, chinese), plat::kLangChinese), samples);
  uint32_t bytes = 0;
  if (r == 0) {
    std::vector<uint8_t> coded;
    if (formatType == 1 || formatType == 2) {
      coded.resize(samples.size());
      if (formatType == 1)
        LinearToALawBlock(samples.data(), coded.data(), samples.size());
      else
        for (size_t i = 0; i < samples.size(); ++i) coded[i] = LinearToMuLaw(samples[i]);
    } else {
      coded.resize(samples.size() * 2);
      for (size_t i = 0; i < samples.size(); ++i) plat::PutLe16(&coded[2 * i], static_cast<uint16_t>(samples[i]));
    }
    bytes = static_cast<uint32_t>(std::fwrite(coded.data(), 1, coded.size(), f));
  }
  WriteSpokenHeader(f, formatType, bytes);
  std::fclose(f);
  return r;
}

// --- PcmToAlawWave ---

int PcmToAlawWave(const std::string& source, const std::string& target) {
  FILE* in = plat::OpenFile(source, "rb");
  if (!in) return -1;
  const plat::RiffFile riff(in);
  plat::RiffChunk fmt, data;
  if (!riff.IsWave() || !riff.Find("fmt ", &fmt)) {
    std::fclose(in);
    return -2;
  }
  // At most the fields we know; a longer chunk's rest is skipped by looking
  // for "data" after it.
  uint8_t f[16] = {};
  size_t got = riff.Read(fmt, 0, f, std::min<uint32_t>(fmt.size, sizeof f));
  if (got < sizeof f || plat::Le16(f) != 1 || plat::Le16(f + 14) != 16) {
    std::fclose(in);
    return -3;
  }
  const int64_t after = riff.After(fmt);
  if (after < 0 || !riff.Find("data", &data, after)) {
    std::fclose(in);
    return -2;
  }
  FILE* out = plat::OpenFile(target, "wb");
  if (!out) {
    std::fclose(in);
    return -2;
  }
  const uint16_t channels = plat::Le16(f + 2);
  const uint32_t rate = plat::Le32(f + 4);
  uint8_t h[46] = {};
  std::memcpy(h, "RIFF", 4);
  std::memcpy(h + 8, "WAVEfmt ", 8);
  plat::PutLe32(h + 16, 18);
  plat::PutLe16(h + 20, 6);
  plat::PutLe16(h + 22, channels);
  plat::PutLe32(h + 24, rate);
  plat::PutLe32(h + 28, rate);
  plat::PutLe16(h + 32, 1);
  plat::PutLe16(h + 34, 8);
  std::memcpy(h + 38, "data", 4);
  std::fwrite(h, 1, sizeof h, out);
  const uint32_t samples = data.avail / 2;
  uint32_t written = 0;
  uint8_t raw[2000];
  int16_t pcm[1000];
  uint8_t coded[1000];
  while (written < samples) {
    uint32_t n = std::min<uint32_t>(1000, samples - written);
    size_t r = riff.Read(data, written * 2, raw, n * 2);
    n = static_cast<uint32_t>(r / 2);
    if (n == 0) break;
    for (uint32_t i = 0; i < n; ++i) pcm[i] = static_cast<int16_t>(plat::Le16(raw + 2 * i));
    ALawByFormulaBlock(pcm, coded, n);
    std::fwrite(coded, 1, n, out);
    written += n;
  }
  plat::PutLe32(h + 4, 38 + written);
  plat::PutLe32(h + 42, written);
  std::fseek(out, 0, SEEK_SET);
  std::fwrite(h, 1, sizeof h, out);
  std::fclose(out);
  std::fclose(in);
  return 0;
}

// --- hooks ---

namespace {

class FileSpeaker : public TagFileSpeaker {
 public:
  int SpeakToFile(const std::string& text, const std::string& file, int chinese, int format) override {
    return tts_.SpeakToFile(text, file, chinese != 0, format);
  }

 private:
  TagMsTTS tts_;
};

class PcSpeaker : public TagPcSpeaker {
 public:
  PcSpeaker(int device, const std::atomic<uint8_t>* cancel) : tts_(device, cancel) {}
  int Speak(const std::string& text, int fileFlag, int xmlFlag) override {
    return fileFlag ? tts_.Speak(xmlFlag != 0, text) : tts_.SpeakLang(text, true);
  }
  bool IsDone() override { return tts_.IsDone(); }
  void Stop() override { tts_.Stop(); }

 private:
  TagTTS tts_;
};

}  // namespace

void RegisterSpeech() {
  TagSpeechHooks h;
  h.makeFileSpeaker = []() -> std::unique_ptr<TagFileSpeaker> { return std::make_unique<FileSpeaker>(); };
  h.makePcSpeaker = [](int device, const std::atomic<uint8_t>* cancel) -> std::unique_ptr<TagPcSpeaker> {
    return std::make_unique<PcSpeaker>(device, cancel);
  };
  h.pinyinLoad = [](const std::string& dir) { return GlobalHypy().LoadVocLib(dir); };
  h.pinyinToWave = [](const std::string& text, const std::string& path) {
    return GlobalHypy().TextToWave(text, path);
  };
  SetSpeechHooks(h);
}
