#include "services/httpparse.h"

#include <cctype>

namespace {

bool IEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

bool IContains(std::string_view text, std::string_view word) {
  if (word.size() > text.size()) return false;
  for (size_t i = 0; i + word.size() <= text.size(); ++i)
    if (IEquals(text.substr(i, word.size()), word)) return true;
  return false;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Calls f(name, value) for every field line of a head (after its first line).
template <class F>
void EachField(std::string_view head, F f) {
  size_t pos = head.find("\r\n");
  while (pos != std::string_view::npos) {
    pos += 2;
    size_t end = head.find("\r\n", pos);
    if (end == std::string_view::npos || end == pos) return;
    std::string_view line = head.substr(pos, end - pos);
    size_t colon = line.find(':');
    if (colon != std::string_view::npos) f(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
    pos = end;
  }
}

}  // namespace

bool HttpHeadField(std::string_view head, std::string_view name, std::string* value) {
  bool found = false;
  EachField(head, [&](std::string_view n, std::string_view v) {
    if (!found && IEquals(n, name)) {
      found = true;
      if (value) value->assign(v);
    }
  });
  return found;
}

int ParseHttpHead(std::string_view text, HttpHeadInfo* info) {
  *info = HttpHeadInfo{};
  size_t end = text.find("\r\n\r\n");
  if (end == std::string_view::npos || end + 4 > kMaxHttpHead) return text.size() >= kMaxHttpHead ? -1 : 0;
  std::string_view head = text.substr(0, end + 4);
  info->headLen = head.size();
  if (head.size() > 12 && head.substr(0, 5) == "HTTP/") {
    size_t sp = head.find(' ');
    if (sp != std::string_view::npos && sp + 4 <= head.size()) {
      int code = 0;
      bool digits = true;
      for (size_t i = sp + 1; i < sp + 4; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(head[i]))) digits = false;
        code = code * 10 + (head[i] - '0');
      }
      if (!digits) return -1;
      info->status = code;
    }
  }
  bool bad = false;
  EachField(head, [&](std::string_view name, std::string_view value) {
    if (IEquals(name, "Content-Length")) {
      if (value.empty() || value.size() > 10) {
        bad = true;
        return;
      }
      int64_t n = 0;
      for (char c : value) {
        if (c < '0' || c > '9') {
          bad = true;
          return;
        }
        n = n * 10 + (c - '0');
      }
      if (n > kMaxHttpBody || (info->contentLength >= 0 && info->contentLength != n)) bad = true;
      info->contentLength = n;
    } else if (IEquals(name, "Transfer-Encoding")) {
      if (IContains(value, "chunked")) info->chunked = true;
    } else if (IEquals(name, "Expect")) {
      if (IEquals(value, "100-continue")) info->expectContinue = true;
    }
  });
  return bad ? -1 : 1;
}

int TagChunkProc::Feed(const char* bytes, size_t count) {
  for (size_t i = 0; i < count;) {
    switch (state_) {
      case State::kDone:
        return -2;
      case State::kBad:
        return -1;
      case State::kSize: {
        char c = bytes[i++];
        if (c != '\n') {
          // A size, an extension and its CR: nothing sound is longer.
          if (line_.size() >= 256) {
            state_ = State::kBad;
            return -1;
          }
          line_.push_back(c);
          break;
        }
        std::string_view line(line_);
        if (line.empty() || line.back() != '\r') {
          state_ = State::kBad;
          return -1;
        }
        line.remove_suffix(1);
        size_t semi = line.find(';');
        std::string_view digits = Trim(line.substr(0, semi));
        if (digits.empty() || digits.size() > 8) {
          state_ = State::kBad;
          return -1;
        }
        uint64_t size = 0;
        for (char d : digits) {
          int v = std::isdigit(static_cast<unsigned char>(d)) ? d - '0'
                  : (d >= 'a' && d <= 'f')                    ? d - 'a' + 10
                  : (d >= 'A' && d <= 'F')                    ? d - 'A' + 10
                                                               : -1;
          if (v < 0) {
            state_ = State::kBad;
            return -1;
          }
          size = size * 16 + static_cast<uint64_t>(v);
        }
        line_.clear();
        if (size == 0) {
          state_ = State::kTrailer;
          break;
        }
        if (body_.size() + size > static_cast<uint64_t>(kMaxHttpBody)) {
          state_ = State::kBad;
          return -1;
        }
        left_ = size;
        chunkStart_ = body_.size();
        state_ = State::kData;
        break;
      }
      case State::kData: {
        size_t take = count - i < left_ ? count - i : static_cast<size_t>(left_);
        body_.append(bytes + i, take);
        i += take;
        left_ -= take;
        if (left_ == 0) state_ = State::kDataCr;
        break;
      }
      case State::kTrailer: {
        char c = bytes[i++];
        if (c != '\n') {
          if (line_.size() >= 8192) {
            state_ = State::kBad;
            return -1;
          }
          line_.push_back(c);
          break;
        }
        if (line_ == "\r") {
          line_.clear();
          state_ = State::kDone;
          used_ = i;
          return -2;
        }
        line_.clear();  // a trailer field: not used
        break;
      }
      case State::kDataCr:
        if (bytes[i++] != '\r') {
          state_ = State::kBad;
          return -1;
        }
        state_ = State::kDataLf;
        break;
      case State::kDataLf:
        if (bytes[i++] != '\n') {
          state_ = State::kBad;
          return -1;
        }
        state_ = State::kSize;
        break;
    }
  }
  if (state_ == State::kDone) return -2;
  if (state_ == State::kBad) return -1;
  return 0;
}

std::string SplitUrl(std::string_view url, std::string* host, int* port) {
  size_t slashes = url.find("//");
  std::string_view rest = slashes == std::string_view::npos ? url : url.substr(slashes + 2);
  size_t slash = rest.find('/');
  size_t colon = rest.find(':');
  *port = 80;
  if (colon != std::string_view::npos && (slash == std::string_view::npos || colon < slash)) {
    host->assign(rest.substr(0, colon));
    std::string_view digits = rest.substr(colon + 1, slash == std::string_view::npos ? std::string_view::npos
                                                                                       : slash - colon - 1);
    int p = 0;
    bool ok = !digits.empty() && digits.size() <= 5;
    // Digits past the fifth are never summed: a long run must not overflow.
    for (char c : digits) {
      if (c < '0' || c > '9') ok = false;
      else if (ok) p = p * 10 + (c - '0');
    }
    *port = ok && p <= 65535 ? p : -1;
  } else {
    host->assign(rest.substr(0, slash));
  }
  if (slash == std::string_view::npos) return std::string(url);
  return std::string(rest.substr(slash));
}
