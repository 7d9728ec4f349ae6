#pragma once
// The print sink of a line ("Print(", "SetPrintTo("): a file, by default
// "_stdout%d.txt" in the working directory, or the process's standard output.
#include <cstdio>
#include <string>
#include <string_view>

#include "engine/argoper.h"

class TagVar;
class TagTelBasic;

class TStdOut {
 public:
  enum Mode : int { kClosed = 0, kFile = 1, kStdout = 2 };
  TStdOut() = default;
  ~TStdOut() { Close(); }
  TStdOut(const TStdOut&) = delete;
  TStdOut& operator=(const TStdOut&) = delete;

  // Closes first. "" selects the standard output and gives 2; otherwise the
  // file is created or emptied: 0 when open, -1 when it could not be opened
  // (the sink is then closed).
  int Open(const std::string& path);
  bool IsOpen() const { return mode_ == kStdout || (mode_ == kFile && file_ != nullptr); }
  // Standard output: "%d : %s\n"; a file: the text alone. Flushed at once so
  // the text is there even if the process dies. 0; -1 when not open or the
  // write failed.
  int Print(int lineNo, std::string_view text);
  void Close();
  int Mode() const { return mode_; }

 private:
  int mode_ = kClosed;
  FILE* file_ = nullptr;
};

// "Print(" value: on the root's sink, opening "_stdout%d.txt" when closed.
class TagPrint : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  TagPrint(TagTelBasic* root, TagVar* value) : TagArgOper({value}, root) {}
  int Execute() override;

 private:
  std::string buf_;  // reused, so printing in a loop does not allocate each time
};

// "SetPrintTo(" name: opens the root's sink on the name ("" for standard
// output); 0 whatever the open gave.
class TagSetPrintTo : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  TagSetPrintTo(TagTelBasic* root, TagVar* name) : TagArgOper({name}, root) {}
  int Execute() override;
};
