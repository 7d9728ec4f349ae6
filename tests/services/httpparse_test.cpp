// The HTTP head reader, the chunk decoder and the URL split, on bytes alone.
#include "services/httpparse.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(HttpHead, ReadsLengthChunkedAndExpectFromTheHeadOnly) {
  struct Case {
    const char* name;
    std::string text;
    int result;
    int64_t length;
    bool chunked;
    int status;
  };
  const std::vector<Case> cases = {
      {"not complete", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n", 0, -1, false, 0},
      {"plain length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", 1, 5, false, 200},
      {"any case, blanks", "HTTP/1.1 404 No\r\ncontent-length:\t 12 \r\n\r\n", 1, 12, false, 404},
      {"no blank after colon", "HTTP/1.1 200 OK\r\nContent-Length:7\r\n\r\n", 1, 7, false, 200},
      {"length in the body only", "HTTP/1.1 200 OK\r\nX: 1\r\n\r\nContent-Length: 99\r\n", 1, -1, false, 200},
      {"sign refused", "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n", -1, -1, false, 0},
      {"letters refused", "HTTP/1.1 200 OK\r\nContent-Length: 12abc\r\n\r\n", -1, -1, false, 0},
      {"over the cap", "HTTP/1.1 200 OK\r\nContent-Length: 2147483647\r\n\r\n", -1, -1, false, 0},
      {"equal duplicates", "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\n", 1, 3, false, 200},
      {"conflicting duplicates", "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\n", -1, -1,
       false, 0},
      {"chunked field", "HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n", 1, -1, true, 200},
      {"chunked elsewhere", "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\nX-Note: chunked\r\n\r\n", 1, -1, false,
       200},
      {"interim status", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\n", 1, -1, false, 100},
      {"request", "POST /a HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 2\r\n\r\nab", 1, 2, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HttpHeadInfo info;
    ASSERT_EQ(ParseHttpHead(c.text, &info), c.result);
    if (c.result != 1) continue;
    EXPECT_EQ(info.contentLength, c.length);
    EXPECT_EQ(info.chunked, c.chunked);
    EXPECT_EQ(info.status, c.status);
    EXPECT_EQ(c.text.substr(info.headLen - 4, 4), "\r\n\r\n");
  }
  HttpHeadInfo info;
  ASSERT_EQ(ParseHttpHead("POST / HTTP/1.1\r\nexpect:  100-Continue\r\n\r\n", &info), 1);
  EXPECT_TRUE(info.expectContinue);
  // A head with no end is refused once it passes the cap.
  EXPECT_EQ(ParseHttpHead(std::string(kMaxHttpHead, 'a'), &info), -1);
}

// Decodes the text fed in pieces of n bytes: the last feed's result.
int FeedInPieces(TagChunkProc& p, const std::string& text, size_t n) {
  int r = 0;
  for (size_t i = 0; i < text.size() && r == 0; i += n) r = p.Feed(text.data() + i, std::min(n, text.size() - i));
  return r;
}

TEST(ChunkDecoder, DecodesInAnyPiecesAndRefusesBadSizes) {
  struct Case {
    const char* name;
    std::string text;
    int result;
    std::string body;
  };
  const std::vector<Case> cases = {
      {"two chunks", "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n", -2, "hello world"},
      {"extension and upper hex", "A;x=1\r\n0123456789\r\n0\r\n\r\n", -2, "0123456789"},
      {"binary data", std::string("3\r\na\0b\r\n0\r\n\r\n", 13), -2, std::string("a\0b", 3)},
      {"cut in the data", "5\r\nhel", 0, "hel"},
      {"no hex digit", "\r\nabc\r\n", -1, ""},
      {"not hex", "zz\r\nabc\r\n", -1, ""},
      {"nine digits", "000000001\r\nx\r\n", -1, ""},
      {"size plus 2 would overflow", "FFFFFFFF\r\nx", -1, ""},
      {"data not followed by CRLF", "2\r\nabXY0\r\n\r\n", -1, "ab"},
      {"bare LF", "2\nab\r\n", -1, ""},
      {"trailer fields skipped", "2\r\nab\r\n0\r\nX-Sum: 1\r\n\r\n", -2, "ab"},
      {"last chunk without its blank line", "2\r\nab\r\n0\r\n", 0, "ab"},
  };
  for (const Case& c : cases) {
    for (size_t n : {size_t{1}, size_t{2}, size_t{7}, c.text.size()}) {
      SCOPED_TRACE(std::string(c.name) + " in pieces of " + std::to_string(n));
      TagChunkProc p;
      EXPECT_EQ(FeedInPieces(p, c.text, n), c.result);
      EXPECT_EQ(p.Body(), c.body);
      EXPECT_EQ(p.Done(), c.result == -2);
      if (c.result == -2) {
        EXPECT_EQ(p.Used(), c.text.size() - (c.text.size() - 1) / n * n) << "the whole last piece belongs";
      }
    }
  }
  TagChunkProc done;
  const std::string then = "1\r\nx\r\n0\r\nT: 2\r\n\r\nGET / HTTP/1.1\r\n";
  ASSERT_EQ(done.Feed(then.data(), then.size()), -2);
  EXPECT_EQ(then.substr(done.Used()), "GET / HTTP/1.1\r\n") << "what follows the body is left";
  EXPECT_EQ(done.Feed("1\r\nx\r\n", 6), -2) << "nothing after the end";
  EXPECT_EQ(done.Body(), "x");
  TagChunkProc open;
  EXPECT_EQ(open.Feed("0\r\n", 3), 0);
  EXPECT_TRUE(open.LastChunkSeen());
  EXPECT_FALSE(open.Done());
}

TEST(SplitUrl, HostPortAndPath) {
  struct Case {
    const char* url;
    const char* host;
    int port;
    const char* path;
  };
  const std::vector<Case> cases = {
      {"http://example.com/a/b?c=1", "example.com", 80, "/a/b?c=1"},
      {"http://host:8080", "host", 8080, "http://host:8080"},
      {"http://host:8080/x", "host", 8080, "/x"},
      {"host:81/y", "host", 81, "/y"},
      {"https://secure/z", "secure", 80, "/z"},
      {"http://host/a:b", "host", 80, "/a:b"},
      {"http://host:65616/", "host", -1, "/"},
      {"http://host:8x/", "host", -1, "/"},
      // Found by fuzzing: a long run of digits overflowed the sum.
      {"http://host:1111111111111111/", "host", -1, "/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    std::string host;
    int port = 0;
    EXPECT_EQ(SplitUrl(c.url, &host, &port), c.path);
    EXPECT_EQ(host, c.host);
    EXPECT_EQ(port, c.port);
  }
}

}  // namespace
