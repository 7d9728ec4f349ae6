#pragma once
#include <cstdint>

// The random generator of "Rand(": one per line thread, the classic linear
// congruential generator of the platform's C library, so sequences for a seed
// are what script authors saw.
void ScriptSrand(uint32_t seed);
// 0 to 32767.
int ScriptRand();
