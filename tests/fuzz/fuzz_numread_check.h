#pragma once
// The checks the number-reading fuzz target runs on one input; a unit test
// runs the same function over a fixed corpus.
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "operations/numread.h"

namespace numreadcheck {

// Every stem a voice directory of the sample installation holds.
inline const std::set<std::string>& KnownStems() {
  static const std::set<std::string> stems = [] {
    std::set<std::string> s = {"shi",  "bai", "qian", "wan",  "yyi",     "dian",    "yuan",     "jiao",
                               "fen",  "li",  "nian", "yue",  "ri",      "miao",    "xiaoshi",  "hundred",
                               "thousand", "million", "billion", "and"};
    for (int i = 0; i <= 20; ++i) s.insert(std::to_string(i));
    for (int i = 30; i <= 90; i += 10) s.insert(std::to_string(i));
    return s;
  }();
  return stems;
}

// Reads the text in every mode and both languages. Empty when every reading
// stayed within the known voices and a sane length, else what went wrong.
inline std::string CheckNumberText(std::string_view text) {
  for (int lang : {0, 2}) {
    for (int mode = 0; mode <= 6; ++mode) {
      std::vector<std::string> out;
      bool ok = NumberReadingStems(text, mode, lang, out);
      if (!ok && !out.empty()) return "words left after a refusal";
      // A reading is bounded: digit by digit at most, plus units.
      if (out.size() > 4 * text.size() + 8) return "too many words in mode " + std::to_string(mode);
      for (const std::string& w : out)
        if (!KnownStems().count(w)) return "unknown stem '" + w + "' in mode " + std::to_string(mode);
    }
  }
  return "";
}

}  // namespace numreadcheck
