#pragma once
// The raw signalling data a script gives to send.
#include <cstdint>
#include <string>
#include <vector>

// Hex text (a string of at least 7 characters opening with two hex digits)
// or the first length bytes of a string (length 0 or less: all of it; the
// stored integer must reach length). The byte count; -1 bad argument, -2
// more than 300 bytes.
int ParseSigRawData(bool isString, const std::string& text, int stored, int length, std::vector<uint8_t>* out);
