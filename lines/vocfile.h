#pragma once
// Voice files: reading WAVE and headerless A-law data, the 16-bit voice file
// object with its gain control, and the ".VOX" (OKI ADPCM) conversion.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "lines/voccodec.h"

// Size of a WAVE header with a format chunk of fmtSize bytes (16, 18 or 20).
constexpr uint32_t WaveHeaderSize(uint32_t fmtSize) { return 28 + fmtSize; }
// The header every writer uses: 8000 Hz mono in the format of formatTag
// (1 PCM 16-bit, 6 A-law, 7 mu-law), RIFF size = header + data - 8.
std::vector<uint8_t> MakeWaveHeader(uint32_t fmtSize, uint16_t formatTag, uint32_t dataBytes);
// Writes it at the start of f; false when the write failed.
bool WriteWaveHeader(FILE* f, uint32_t fmtSize, uint16_t formatTag, uint32_t dataBytes);
// Format tag of a sample-format code.
uint16_t WaveTagOf(int format);

// Reads the sample data of an open voice file into buffer (at most length
// bytes); format gets the sample-format code. Returns the bytes read, 0 when
// the file is not usable.
int ReadVoiceData(FILE* f, uint8_t* buffer, int length, int& format);

// Gain factor of a segment from its loudest 20 ms block: -2 means 2/3.
int GainOf(int maximum);

// A voice file held as 16-bit samples.
class TagVocFile {
 public:
  // gain below 0.0001 selects automatic gain control.
  TagVocFile(const std::string& path, double gain);
  // A 16-bit PCM WAVE when the source was PCM, else A-law. 0 or -1.
  int Write(const std::string& path) const;
  int WritePcm(const std::string& path) const;
  int WriteALaw(const std::string& path) const;

  int status = -1;  // 0 loaded
  std::vector<int16_t> samples;
  int count = 0;
  int type = kVocALaw;

 private:
  void AutoGain(const std::string& path);
};

// Converts a ".VOX" file to a 16-bit PCM WAVE. 0, -1 source not openable,
// -2 target not creatable.
int VoxToWav(const std::string& source, const std::string& target);
// For a name ending in ".VOX" (any case): outName := name + ".wav", made or
// refreshed from the source when missing or older; returns 1. Else outName
// := name and 0.
int PrepareVoxAsWav(const std::string& name, std::string& outName);

// Creates a new file beside path for writing under a unique name (so that
// two lines never write the same file) and returns it open; null on failure.
FILE* CreateTempBeside(const std::string& path, std::string& tempName);
// Puts a finished temporary file in place of target; false (and the
// temporary removed) when it cannot.
bool ReplaceWithTemp(const std::string& tempName, const std::string& target);
