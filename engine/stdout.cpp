#include "engine/stdout.h"

#include "engine/tagvar.h"
#include "engine/telbasic.h"
#include "core/log.h"
#include "platform/path.h"
#include "platform/text.h"

int TStdOut::Open(const std::string& path) {
  Close();
  if (path.empty()) {
    mode_ = kStdout;
    return 2;
  }
  file_ = plat::OpenFile(path, "wb");
  if (!file_) return -1;
  mode_ = kFile;
  return 0;
}

int TStdOut::Print(int lineNo, std::string_view text) {
  if (mode_ == kStdout) {
    // The terminal reads the user's character set; the line stays GB inside.
    std::string out = std::to_string(lineNo) + " : ";
    out.append(text);
    out.push_back('\n');
    plat::WriteTerminal(stdout, out);
    return 0;
  }
  if (mode_ == kFile && file_) {
    // A full disk must not look like a successful print.
    bool ok = std::fwrite(text.data(), 1, text.size(), file_) == text.size();
    ok = std::fflush(file_) == 0 && ok;
    return ok ? 0 : -1;
  }
  LogAlways("TStdOut::Print() Err: not open.");
  return -1;
}

void TStdOut::Close() {
  if (file_) std::fclose(file_);
  file_ = nullptr;
  mode_ = kClosed;
}

int TagPrint::Execute() {
  TStdOut& out = root_->stdOut;
  if (!out.IsOpen()) out.Open("_stdout" + std::to_string(root_->lineNo) + ".txt");
  buf_.clear();
  const TagVar& value = Arg(0);
  if (value.IsString()) {
    // Up to the first NUL byte.
    buf_.assign(value.Text());
  } else {
    value.ToText(buf_, true);
  }
  return out.Print(root_->lineNo, buf_);
}

int TagSetPrintTo::Execute() {
  const TagVar& name = Arg(0);
  std::string path = name.IsString() ? std::string(name.Text()) : name.ToText();
  root_->stdOut.Open(path);
  return 0;
}
