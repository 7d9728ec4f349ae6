#pragma once
// Key operations: helpers shared with their tests.
#include <string>

// Star and point as the star-to-point flag wants them, in place.
void NormaliseStar(std::string& keys, bool starToPoint);
