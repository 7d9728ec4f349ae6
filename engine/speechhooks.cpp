#include "engine/speechhooks.h"

namespace {
// Each hook on its own, so a reader never sees half an update.
std::atomic<decltype(TagSpeechHooks::makeFileSpeaker)> g_makeFile{nullptr};
std::atomic<decltype(TagSpeechHooks::makePcSpeaker)> g_makePc{nullptr};
std::atomic<decltype(TagSpeechHooks::pinyinLoad)> g_pinyinLoad{nullptr};
std::atomic<decltype(TagSpeechHooks::pinyinToWave)> g_pinyinToWave{nullptr};
}  // namespace

void SetSpeechHooks(const TagSpeechHooks& hooks) {
  g_makeFile.store(hooks.makeFileSpeaker);
  g_makePc.store(hooks.makePcSpeaker);
  g_pinyinLoad.store(hooks.pinyinLoad);
  g_pinyinToWave.store(hooks.pinyinToWave);
}

TagSpeechHooks SpeechHooks() {
  TagSpeechHooks h;
  h.makeFileSpeaker = g_makeFile.load();
  h.makePcSpeaker = g_makePc.load();
  h.pinyinLoad = g_pinyinLoad.load();
  h.pinyinToWave = g_pinyinToWave.load();
  return h;
}
