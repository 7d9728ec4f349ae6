#pragma once
// How the messaging services reach the other lines of the installation: the
// number of lines and a line's script instance, held for as long as the
// caller uses it (a reload may replace the line's instance meanwhile).
#include <functional>
#include <memory>

class TagTelBasic;

struct TagLineDirectory {
  std::function<int()> lineCount;
  std::function<std::shared_ptr<TagTelBasic>(int line)> instance;
};

// The running line manager's lines; none before the start and after the exit.
int DirLineCount();
std::shared_ptr<TagTelBasic> DirInstance(int line);

// Tests run lines without a line manager: they name the instances here. An
// empty directory returns to the line manager.
void SetLineDirectory(TagLineDirectory dir);
