#pragma once
// Speech-segment detection, trimming of leading and trailing silence, and
// mixing of two voice files.
#include <string>
#include <vector>

// One speech segment, in samples: [start, end), frames of 20 samples.
struct TagVocUnit {
  int start = 0;
  int end = 0;
  int frames = 0;
};

// The speech segments of one file, in time order.
class TagWaveUnits {
 public:
  explicit TagWaveUnits(const std::string& path);
  std::string path;
  std::vector<TagVocUnit> units;
};

// Finds the speech segments of voice data in a sample-format code; mode 0
// (threshold 450, a segment ends at the first quiet frame) or 1 (350, after
// more than 5 quiet frames). Fills segments and returns their count.
int FindSpeechUnits(const unsigned char* data, int length, std::vector<TagVocUnit>& segments, int startOffset,
                    int mode, int format);

// Writes the part of the file from the first segment's start to the last
// one's end into a new file (its name in copyName). Segment count - 1, or
// -2 (not readable, shorter than 1000 bytes, no segment), -3 (bad range),
// -4 (copy not creatable).
int WriteTrimmedCopy(const std::string& path, const TagWaveUnits& units, std::string& copyName);
// Cuts leading and trailing silence in place; the file is replaced only by
// a complete copy. Result as WriteTrimmedCopy.
int TrimVocFile(const std::string& path);

// Adds file 2 into file 1 at offsetMs (or file 1 into file 2 when file 2 is
// not shorter) and writes the sum to output. Always 1.
int MixVocFile(const std::string& file1, double gain1, int offsetMs, const std::string& file2, double gain2,
               const std::string& output);
