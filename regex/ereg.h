#pragma once
#include <atomic>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// The work of the script operations "Ereg(", "EregRepl(" and "EregSplit(" over
// byte strings. Texts, patterns and templates end at their first zero byte, as
// the operations read them from a value's string buffer. Each call compiles
// its pattern afresh. When a limit stops the work (step budget, the line's
// interrupt flag, stack, sizes) the call returns 0, writes nothing and logs one
// line.

// Searches once from start (negative: 0). Stores the text of every group that
// took part under its number (groups may be null: a constant target; the map
// is not cleared first). Returns the match start + 1, or 0.
int EregMatch(std::string_view text, int start, std::string_view pattern, std::map<int, std::string>* groups,
              const std::atomic<uint8_t>* interrupt = nullptr);

// Replaces at most count matches (negative: all) by the template. Returns 1
// with the new text in *result (the text unchanged when nothing matched), or 0.
int EregReplace(std::string_view text, std::string_view pattern, std::string_view replacement, int count,
                std::string* result, const std::atomic<uint8_t>* interrupt = nullptr);

// Splits at every match: the pieces between matches and the rest after the
// last one. Returns the number of pieces (at least 1), or 0 on a limit or
// when pieces is null (a constant target).
int EregSplit(std::string_view text, std::string_view pattern, std::vector<std::string>* pieces,
              const std::atomic<uint8_t>* interrupt = nullptr);
