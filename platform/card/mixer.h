#pragma once
// The software card's audio frames: 20 ms of A-law per line, mixed from the
// sources a line hears. Only the card uses it, under the card lock.
#include <array>
#include <cstdint>
#include <deque>
#include <vector>

#include "platform/card/channel.h"

namespace plat::card {

constexpr int kFrameSamples = 160;
constexpr uint32_t kFrameMs = 20;
constexpr uint32_t kHeardMs = 60000;
constexpr size_t kHeardFrames = kHeardMs / kFrameMs;
// Frames made at most per push or poll; a longer gap is passed over with
// records still written (see SkipFrames), so the work under the lock stays
// bounded however long the card was left alone.
constexpr uint32_t kMaxFramesPerMix = 50;
constexpr int kMemberPlacesPerGroup = 4;
constexpr int kMinGainDb = -60;
constexpr int kMaxGainDb = 20;

using Frame = std::array<uint8_t, kFrameSamples>;

struct HeardFrame {
  uint32_t tick = 0;
  Frame bytes{};
};

struct MixLine {
  Frame up{};
  bool upSet = false;      // up holds this frame's upstream
  bool upSound = false;    // and some of it came from the far end
  uint32_t upFrom = 0;     // fed audio is taken from this tick on
  std::deque<HeardFrame> heard;  // frames in which the line heard something
};

// One source of a mix: its bytes and its gain.
struct Source {
  const uint8_t* bytes;
  int gainDb;
};

// Buffers reused from frame to frame.
struct MixScratch {
  std::vector<std::vector<int>> members;  // talking and listening, by group
  std::vector<int> talkers;               // talking members per group
  std::vector<Frame> groupPlay;           // group plays of this frame
  std::vector<int> groupPlayGroup;
  std::vector<Source> sources;
  std::vector<uint8_t> groupRecords;      // groups with a running record
};

// Mixes the sources into out: one at 0 dB is copied as it is, else they are
// decoded, scaled, summed, clipped and encoded. False when there is none.
bool Combine(const Source* s, size_t n, uint8_t* out);

// LinearToALaw of a sum, clipped to 16 bits first, by table.
uint8_t EncodeALaw(int pcm);

// The samples of a play that fall in the frame starting at tick t (silence
// around them); false when none does. Reads the file in chunks.
bool PlayFrame(PlayState* p, uint32_t t, uint8_t* out);

// The level of A-law audio in dBm0 (a full-scale sine is +3.14); -99 for
// digital silence or nothing.
double LevelDbm0(const std::vector<uint8_t>& alaw);

// A sine tone as A-law.
std::vector<uint8_t> ToneALaw(int hz, double dbm0, uint32_t ms);

}  // namespace plat::card
