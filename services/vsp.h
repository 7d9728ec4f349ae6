#pragma once
// Server pages: an HTML template with script blocks between "<%" and "%>"
// becomes a script that prints the HTML pieces (kept apart, in a map the
// script finds among the line's shared values) and runs the blocks in their
// place.
#include <string>
#include <string_view>
#include <vector>

// The generated script for tmpl; pieces receives the HTML pieces in order
// (one even when empty: before the first block, between blocks, after the
// last). Inside a block, "%>" in a string literal or a comment does not end
// it; in a string a backslash escapes the byte after it. A block that does
// not end with a line end gets one, so the next statement starts a line.
std::string ConvertVsp(std::string_view tmpl, std::vector<std::string>* pieces);
