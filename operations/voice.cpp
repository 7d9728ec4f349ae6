// Playing and recording voice files on the line, voices held in memory, and
// the trim and mix file operations.
#include "platform/bytes.h"
#include "platform/riff.h"
#include "operations/voice.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/telbasic.h"
#include "core/log.h"
#include "engine/kxcall.h"
#include "lines/memvocs.h"
#include "lines/vocedit.h"
#include "operations/argread.h"
#include "platform/path.h"

namespace {

using plat::Le32;
using plat::PutLe32;



bool EndsWithWav(const std::string& name) {
  if (name.size() < 4) return false;
  std::string tail = name.substr(name.size() - 4);
  return tail == ".wav" || tail == ".WAV";
}

// Copies up to n bytes (all when n is negative) from in to the end of out in
// pieces of 2000 bytes; stops when a read delivers nothing. The bytes copied.
int64_t CopyBytes(FILE* in, FILE* out, int64_t n) {
  uint8_t buf[2000];
  int64_t copied = 0;
  while (n < 0 || copied < n) {
    size_t want = sizeof buf;
    if (n >= 0 && static_cast<int64_t>(want) > n - copied) want = static_cast<size_t>(n - copied);
    size_t got = std::fread(buf, 1, want, in);
    if (got == 0) break;
    if (std::fwrite(buf, 1, got, out) != got) break;
    copied += static_cast<int64_t>(got);
  }
  return copied;
}

// The 46-byte header of an output our appends started: RIFF, WAVE, an
// 18-byte format chunk and the data chunk header.
constexpr long kOutHeader = 46;

bool HasOurHeader(FILE* out) {
  uint8_t h[kOutHeader];
  if (std::fseek(out, 0, SEEK_SET) != 0 || std::fread(h, 1, sizeof h, out) != sizeof h) return false;
  return std::memcmp(h, "RIFF", 4) == 0 && std::memcmp(h + 8, "WAVEfmt ", 8) == 0 && Le32(h + 16) == 18 &&
         std::memcmp(h + 38, "data", 4) == 0;
}

int AppendWave(FILE* in, FILE* out, const std::string& name) {
  uint8_t fmt[20] = {};
  const plat::RiffFile riff(in);
  plat::RiffChunk fmtChunk, dataChunk;
  bool ok = riff.IsWave() && riff.ChunkAt(12, &fmtChunk) && fmtChunk.Is("fmt ") && fmtChunk.size >= 16;
  const uint32_t want = ok ? std::min<uint32_t>(fmtChunk.size, sizeof fmt) : 0;
  ok = ok && riff.Read(fmtChunk, 0, fmt, want) == want && riff.ChunkAt(riff.After(fmtChunk), &dataChunk);
  // One other chunk (a "fact") may come before the data.
  if (ok && !dataChunk.Is("data")) ok = riff.ChunkAt(riff.After(dataChunk), &dataChunk);
  if (!ok || !riff.SeekTo(dataChunk)) {
    LogAlways("Not a voice file: " + name);
    return -1;
  }
  uint32_t n = dataChunk.size;

  std::fseek(out, 0, SEEK_END);
  long outSize = std::ftell(out);
  if (outSize == 0) {
    uint8_t h[kOutHeader] = {};
    std::memcpy(h, "RIFF", 4);
    PutLe32(h + 4, 38);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    PutLe32(h + 16, 18);
    std::memcpy(h + 20, fmt, 16);  // the voice's format, extra size 0
    std::memcpy(h + 38, "data", 4);
    if (std::fwrite(h, 1, sizeof h, out) != sizeof h) return -1;
  }
  int64_t copied = CopyBytes(in, out, n);
  std::fflush(out);
  // An output begun by headerless data has no header to keep up to date.
  if (!HasOurHeader(out)) return 0;
  uint8_t sizeField[4];
  std::fseek(out, 42, SEEK_SET);
  if (std::fread(sizeField, 1, 4, out) != 4) return 0;
  // Only the bytes that were really copied: a short voice must not make the
  // header claim data that is not there.
  uint64_t data = uint64_t(Le32(sizeField)) + static_cast<uint64_t>(copied);
  std::fseek(out, 0, SEEK_END);
  uint64_t total = static_cast<uint64_t>(std::ftell(out));
  PutLe32(sizeField, data > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(data));
  std::fseek(out, 42, SEEK_SET);
  std::fwrite(sizeField, 1, 4, out);
  PutLe32(sizeField, total - 8 > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(total - 8));
  std::fseek(out, 4, SEEK_SET);
  std::fwrite(sizeField, 1, 4, out);
  std::fseek(out, 0, SEEK_END);
  return 0;
}

// Play-to-file: the voice goes to the end of the line's output file.
int AppendToPlayFile(TagTelBasic& root, const std::string& resolved) {
  FILE* out = plat::OpenFile(root.PlayToFileName(root.language), "r+b");
  if (!out) return -1;
  int r = AppendVocFile(out, resolved);
  std::fclose(out);
  return r;
}

}  // namespace

bool HasFileExt(const std::string& name) {
  size_t slash = name.find_last_of("/\\");
  size_t dot = name.find_last_of('.');
  if (dot == std::string::npos) return false;
  return slash == std::string::npos || dot > slash;
}

bool IsAbsPath(const std::string& name) {
  if (name.empty()) return false;
  if (name[0] == '\\' || name[0] == '/') return true;
  return name.find("\\\\") != std::string::npos || name.find(":\\") != std::string::npos;
}

std::string ResolveVocFileName(const TagTelBasic& inst, const std::string& name) {
  std::string full = name;
  if (!HasFileExt(full)) full += inst.sndExt;
  if (IsAbsPath(full)) return full;
  return inst.CurSndDir() + full;
}

TagMemVocs& LineMemVocs(TagTelBasic& inst) {
  if (!inst.memVocs) inst.memVocs = std::make_shared<TagMemVocs>();
  return *inst.memVocs;
}

std::shared_ptr<const MemStruct> FindMemVoc(TagTelBasic& inst, const std::string& name) {
  if (inst.memVocs) {
    if (auto v = inst.memVocs->Find(name)) return v;
  }
  return GlobalMemVocs().Find(name);
}

int PlayVocByName(TagTelBasic& inst, const std::string& name) {
  TagKxCall* call = inst.callObject;
  if (!call) return -1;
  if (call->CanPlayMemory()) {
    if (auto v = FindMemVoc(inst, name)) return call->PlayMemory(v->data.data(), 0, v->size, 0, inst.breakOnKey);
  }
  return call->PlayFile(name.size() > 1023 ? name.substr(0, 1023) : name, inst.breakOnKey, 0);
}

int AppendVocData(FILE* out, FILE* in, bool wave, const std::string& name) {
  if (wave) return AppendWave(in, out, name);
  std::fseek(out, 0, SEEK_END);
  CopyBytes(in, out, -1);
  std::fflush(out);
  return 0;
}

int AppendVocFile(FILE* out, const std::string& name) {
  FILE* in = plat::OpenFile(name, "rb");
  if (!in) {
    LogAlways("Open file error: " + name);
    return -1;
  }
  int r = AppendVocData(out, in, EndsWithWav(name), name);
  std::fclose(in);
  return r;
}

// --- the operations ---

class TagPlay : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    std::string name = ResolveVocFileName(Root(), ArgText(Arg(0)));
    if (Root().playToFile) return AppendToPlayFile(Root(), name);
    return PlayVocByName(Root(), name);
  }
};

class TagStartLoopPlay : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override { return c.StartLoopPlay(ResolveVocFileName(Root(), ArgText(Arg(0)))); }
};

class TagStopPlay : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    c.StopPlay();
    return 0;
  }
};

class TagReLoopPlay : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override { return c.ReLoopPlay(); }
};

class TagRecord : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    return c.Record(ResolveVocFileName(Root(), ArgText(Arg(0))), ArgStored(Arg(1)), Root().breakOnKey);
  }
};

class TagStartRecord : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    return c.StartRecord(ResolveVocFileName(Root(), ArgText(Arg(0))), ArgStored(Arg(1)));
  }
};

class TagPcPlay : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    std::string name = ResolveVocFileName(Root(), ArgText(Arg(0)));
    if (Root().playToFile) return AppendToPlayFile(Root(), name);
    int mode = ArgInt(Arg(1));
    if (mode != 0) return c.PcPlay(name, mode > 0 ? 1 : 0, 0, 0);
    return c.PcPlay(name, 0, 1, 0);
  }
};

class TagIsPcPlayEnd : public TagCallOper {
 public:
  using TagCallOper::TagCallOper;
  int Run(TagKxCall& c) override {
    int r = c.IsPcPlayEnd();
    Arg(0).SetInt(r);
    return r;
  }
};

class TagLoadVocFile : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    if (!Arg(0).IsString()) return -1;
    std::string name = ResolveVocFileName(Root(), ArgText(Arg(0)));
    TagMemVocs& store = ArgInt(Arg(1)) != 0 ? GlobalMemVocs() : LineMemVocs(Root());
    return store.Load(name, 0);
  }
};

class TagUnloadVocFile : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    if (!Arg(0).IsString()) return -1;
    TagMemVocs& store = ArgInt(Arg(1)) != 0 ? GlobalMemVocs() : LineMemVocs(Root());
    std::string written = ArgText(Arg(0));
    if (!written.empty() && written[0] == '*')
      store.UnloadAll();
    else
      store.Unload(ResolveVocFileName(Root(), written));
    return 0;
  }
};

class TagTrimVocFile : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override { return TrimVocFile(ResolveVocFileName(Root(), ArgText(Arg(0)))); }
};

class TagMixVocFile : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() override {
    return MixVocFile(ResolveVocFileName(Root(), ArgText(Arg(0))), Arg(1).AsDouble(), ArgInt(Arg(2)),
                      ResolveVocFileName(Root(), ArgText(Arg(3))), Arg(4).AsDouble(),
                      ResolveVocFileName(Root(), ArgText(Arg(5))));
  }
};

const TagOpTable& VoiceOperations() {
  static const TagOpTable entries = {
      {KeywordId::Play, MakeLineOper<TagPlay>},
      {KeywordId::StartLoopPlay, MakeLineOper<TagStartLoopPlay>},
      {KeywordId::Stop, MakeLineOper<TagStopPlay>},
      {KeywordId::ReLoopPlay, MakeLineOper<TagReLoopPlay>},
      {KeywordId::Record, MakeLineOper<TagRecord>},
      {KeywordId::StartRecord, MakeLineOper<TagStartRecord>},
      {KeywordId::PcPlay, MakeLineOper<TagPcPlay>},
      {KeywordId::IsPcPlayEnd, MakeLineOper<TagIsPcPlayEnd>},
      {KeywordId::LoadVocFile, MakeLineOper<TagLoadVocFile>},
      {KeywordId::UnloadVocFile, MakeLineOper<TagUnloadVocFile>},
      {KeywordId::TrimVocFile, MakeLineOper<TagTrimVocFile>},
      {KeywordId::MixVocFile, MakeLineOper<TagMixVocFile>},
  };
  return entries;
}

