// The response heads the script server sends.
#include <gtest/gtest.h>

#include <clocale>
#include <regex>
#include <string>
#include <vector>

#include "services/http.h"

namespace {

TEST(HttpServerHead, ScriptHeadsEndWithExactlyOneBlankLine) {
  struct Case {
    const char* name;
    std::string head;
    size_t body;
    std::string want;
  };
  const std::vector<Case> cases = {
      {"status line only", "HTTP/1.1 200 OK\r\n", 0, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"},
      {"no final CRLF", "HTTP/1.1 200 OK", 3, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n"},
      {"own length, no blank line", "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n", 4,
       "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n"},
      {"own length in lower case", "HTTP/1.1 200 OK\r\ncontent-length: 4", 4,
       "HTTP/1.1 200 OK\r\ncontent-length: 4\r\n\r\n"},
      {"complete head unchanged", "HTTP/1.1 204 No\r\n\r\n", 9, "HTTP/1.1 204 No\r\n\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(HttpCompleteHead(c.head, c.body), c.want);
  }
}

TEST(HttpServerHead, TheDefaultHeadDatesInEnglishWhateverTheLocale) {
  const char* set = std::setlocale(LC_ALL, "de_DE.UTF-8");
  if (!set) set = std::setlocale(LC_ALL, "fr_FR.UTF-8");
  std::string head = HttpDefaultHead(12);
  std::setlocale(LC_ALL, "C");
  if (!set) GTEST_SKIP() << "no locale with other day names installed (scripts/deps makes one)";
  EXPECT_TRUE(std::regex_search(head, std::regex("\r\nLast-Modified: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), \\d\\d "
                                                 "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \\d{4} "
                                                 "\\d\\d:\\d\\d:\\d\\d GMT\r\nContent-Length: 12\r\n\r\n$")))
      << head;
}

}  // namespace
