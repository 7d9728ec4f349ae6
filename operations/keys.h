#pragma once
// Key operations: what they need from outside the line.
#include <functional>
#include <memory>
#include <string>

class TagTelBasic;

// How "PcSetKeys(" finds the script instance of another line (the line
// manager installs it); without one no line counts as having an instance.
using TagLineInstanceLookup = std::function<std::shared_ptr<TagTelBasic>(int line)>;
void SetLineInstanceLookup(TagLineInstanceLookup lookup);

// Star and point as the star-to-point flag wants them, in place.
void NormaliseStar(std::string& keys, bool starToPoint);
