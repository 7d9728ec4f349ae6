#include "platform/speech.h"

#include <espeak-ng/espeak_ng.h>
#include <espeak-ng/speak_lib.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <numeric>

#include "platform/text.h"

namespace plat {
namespace {

std::mutex g_engineLock;
// Guarded by g_engineLock.
bool g_tried = false;
int g_startResult = 0;
int g_engineRate = 0;
int g_voiceLang = 0;
std::string g_dataPath;
std::atomic<uint64_t> g_syntheses{0};

// What the synthesis callback fills; one synthesis at a time under the lock.
struct SynthSink {
  std::vector<int16_t> samples;
  const std::atomic<uint8_t>* cancel = nullptr;
};

int OnSynth(short* wav, int count, espeak_EVENT* events) {
  auto* sink = static_cast<SynthSink*>(events ? events->user_data : nullptr);
  if (!sink) return 0;
  if (wav && count > 0) sink->samples.insert(sink->samples.end(), wav, wav + count);
  // A non-zero answer makes the engine stop this synthesis.
  return sink->cancel && sink->cancel->load() ? 1 : 0;
}

// The engine is never terminated: its termination waits for a thread of its
// own that the synchronous mode never starts, and hangs. A later start
// initialises it again over what it holds.
void StopEngineLocked() {
  g_tried = false;
  g_startResult = 0;
  g_engineRate = 0;
  g_voiceLang = 0;
}

int StartLocked() {
  if (g_tried) return g_startResult;
  g_tried = true;
  const char* path = g_dataPath.empty() ? nullptr : g_dataPath.c_str();
  // The engine's own API reports a start failure instead of printing it or
  // ending the process. A path that does not exist falls back to the
  // installed data; an existing one without the data fails.
  espeak_ng_InitializePath(path);
  espeak_ng_ERROR_CONTEXT context = nullptr;
  espeak_ng_STATUS status = espeak_ng_Initialize(&context);
  if (context) espeak_ng_ClearErrorContext(&context);
  if (status == ENS_OK) status = espeak_ng_InitializeOutput(ENOUTPUT_MODE_SYNCHRONOUS, 200, nullptr);
  const int rate = status == ENS_OK ? espeak_ng_GetSampleRate() : 0;
  if (rate <= 0) {
    g_startResult = kSpeechClassNotRegistered;
    return g_startResult;
  }
  espeak_SetSynthCallback(&OnSynth);
  g_engineRate = rate;
  g_startResult = 0;
  return 0;
}

// One phase table of the resampler per rate pair in use.
struct ResampleTable {
  int from = 0, to = 0;
  long up = 0, down = 0;  // reduced to / from
  int half = 0;           // taps on each side of the centre
  std::vector<float> taps;  // up phases x 2*half taps
};

double Kernel(double t, double cutoff, int half) {
  // Windowed sinc (Blackman) of the low-pass at cutoff (fraction of the input rate).
  if (std::fabs(t) >= half) return 0.0;
  double x = M_PI * t;
  double sinc = t == 0.0 ? 2.0 * cutoff : std::sin(2.0 * cutoff * x) / x;
  double w = 0.42 + 0.5 * std::cos(x / half) + 0.08 * std::cos(2.0 * x / half);
  return sinc * w;
}

ResampleTable MakeTable(int fromRate, int toRate) {
  ResampleTable t;
  t.from = fromRate;
  t.to = toRate;
  long g = std::gcd(static_cast<long>(fromRate), static_cast<long>(toRate));
  t.up = toRate / g;
  t.down = fromRate / g;
  double cutoff = 0.5 * std::min(1.0, static_cast<double>(toRate) / fromRate) * 0.92;
  t.half = static_cast<int>(std::ceil(6.0 / (2.0 * cutoff)));
  t.taps.assign(static_cast<size_t>(t.up) * 2 * t.half, 0.0f);
  for (long p = 0; p < t.up; ++p) {
    double frac = static_cast<double>(p) / t.up;
    double sum = 0;
    float* row = &t.taps[static_cast<size_t>(p) * 2 * t.half];
    for (int k = 0; k < 2 * t.half; ++k) {
      double v = Kernel(k - (t.half - 1) - frac, cutoff, t.half);
      row[k] = static_cast<float>(v);
      sum += v;
    }
    // Unit gain for steady levels in every phase.
    if (sum != 0)
      for (int k = 0; k < 2 * t.half; ++k) row[k] = static_cast<float>(row[k] / sum);
  }
  return t;
}

}  // namespace

void ResampleMono(const int16_t* in, size_t n, int fromRate, int toRate, std::vector<int16_t>& out) {
  if (n == 0 || fromRate <= 0 || toRate <= 0) return;
  if (fromRate == toRate) {
    out.insert(out.end(), in, in + n);
    return;
  }
  thread_local ResampleTable table;
  if (table.from != fromRate || table.to != toRate) table = MakeTable(fromRate, toRate);
  const long long outCount = static_cast<long long>(n) * table.up / table.down;
  out.reserve(out.size() + static_cast<size_t>(outCount));
  const int taps = 2 * table.half;
  for (long long j = 0; j < outCount; ++j) {
    long long pos = j * table.down;
    long long i = pos / table.up;
    long phase = static_cast<long>(pos % table.up);
    const float* row = &table.taps[static_cast<size_t>(phase) * taps];
    long long first = i - (table.half - 1);
    double acc = 0;
    for (int k = 0; k < taps; ++k) {
      long long s = first + k;
      if (s < 0 || s >= static_cast<long long>(n)) continue;
      acc += row[k] * in[s];
    }
    long v = std::lround(acc);
    out.push_back(static_cast<int16_t>(std::clamp<long>(v, -32768, 32767)));
  }
}

int SpeechEngineStart() {
  std::lock_guard<std::mutex> l(g_engineLock);
  return StartLocked();
}

void SetSpeechDataPath(const std::string& path) {
  std::lock_guard<std::mutex> l(g_engineLock);
  StopEngineLocked();
  g_dataPath = path;
}

uint64_t SpeechSynthesisCount() { return g_syntheses.load(); }

int SpeakGbText(std::string_view gbText, int langId, std::vector<int16_t>& out, const std::atomic<uint8_t>* cancel) {
  std::string utf8 = GbkToUtf8(gbText);
  SynthSink sink;
  sink.cancel = cancel;
  int rate = 0;
  {
    std::lock_guard<std::mutex> l(g_engineLock);
    if (int r = StartLocked(); r != 0) return r;
    const int lang = langId == kLangEnglish ? kLangEnglish : kLangChinese;
    if (g_voiceLang != lang) {
      if (espeak_SetVoiceByName(lang == kLangEnglish ? "en-us" : "cmn-latn-pinyin") != EE_OK)
        return kSpeechClassNotRegistered;
      g_voiceLang = lang;
    }
    g_syntheses.fetch_add(1);
    if (!utf8.empty()) {
      espeak_ERROR e = espeak_Synth(utf8.c_str(), utf8.size() + 1, 0, POS_CHARACTER, 0, espeakCHARS_UTF8, nullptr,
                                    &sink);
      if (e != EE_OK) return kSpeechInvalidArg;
    }
    rate = g_engineRate;
  }
  // Resampling needs no engine: done after the lock is let go.
  ResampleMono(sink.samples.data(), sink.samples.size(), rate, kSpeechRate, out);
  return 0;
}

}  // namespace plat
