#pragma once
// Sample conversions of the voice files: G.711 A-law and mu-law, the A-law
// compression law of synthesized speech, and Dialogic (OKI) ADPCM.
#include <cstddef>
#include <cstdint>

// Sample-format codes of voice data.
enum VocFormat : int { kVocALaw = 0, kVocMuLaw = 1, kVocPcm = 2 };

// G.711 expansion to 16 bits.
// A-law goes through the mu-law curve after the XOR on purpose: trim and AGC are tuned to it.
int16_t ExpandG711(uint8_t b, bool isALaw);
// G.711 A-law compression by segments.
uint8_t LinearToALaw(int16_t s);
// G.711 mu-law compression (bias 0x84, clipped at 32635).
uint8_t LinearToMuLaw(int16_t s);
// The A-law law with A = 87.6 in single precision (synthesized speech). Bit 7
// is clear for positive samples, the opposite polarity of LinearToALaw.
uint8_t ALawByFormula(int16_t s);

// Block forms of the above, table driven.
void ExpandG711Block(const uint8_t* in, int16_t* out, size_t n, bool isALaw);
void LinearToALawBlock(const int16_t* in, uint8_t* out, size_t n);
void ALawByFormulaBlock(const int16_t* in, uint8_t* out, size_t n);

// Dialogic ADPCM decoder state: predictor and step index.
struct VoxAdpcmState {
  int predictor = 0;
  int index = 16;
};
// Decodes one 4-bit code; returns the 16-bit sample (predictor x 10).
int16_t VoxAdpcmStep(uint8_t nibble, VoxAdpcmState& state);
// Decodes bytes (high nibble first) into 2 x bytes samples.
void VoxAdpcmDecode(const uint8_t* in, int16_t* out, size_t bytes, VoxAdpcmState& state);
