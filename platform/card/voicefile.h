#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Voice files as the card plays them: 8000 samples a second, one channel.
namespace plat::card {

enum class VoiceFormat { kALaw, kMuLaw, kPcm16 };

struct VoiceInfo {
  VoiceFormat format = VoiceFormat::kALaw;
  uint64_t dataOffset = 0;  // file offset of the first sample
  uint64_t samples = 0;     // sample count (bounded by the file's real length)
  bool wave = false;        // had a RIFF header
};

// Reads the header of a voice file: a RIFF WAVE (PCM16, A-law or mu-law,
// 8000 Hz, mono; any chunks before "data" are passed over) or headerless
// A-law from the first byte. 0, -1 cannot open, -2 bad or unsupported WAVE.
int ProbeVoice(const std::string& path, VoiceInfo* info);

// Reads samples [from, from+count) of a probed file as A-law bytes.
std::vector<uint8_t> ReadVoiceAsALaw(const std::string& path, const VoiceInfo& info,
                                     uint64_t from, uint64_t count);

uint8_t LinearToALaw(int16_t pcm);
int16_t ALawToLinear(uint8_t a);
int16_t MuLawToLinear(uint8_t u);

constexpr uint8_t kALawSilence = 0xD5;

}  // namespace plat::card
