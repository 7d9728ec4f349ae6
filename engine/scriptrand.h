#pragma once
#include <cstdint>

// The random generator of "Rand(": one per line thread, a linear
// congruential generator (state x 22695477 + 1, bits 16 to 30 of the new
// state), so sequences for a seed are what script authors saw.
void ScriptSrand(uint32_t seed);
// 0 to 32767.
int ScriptRand();
