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

// The lines of the directory handed in; none before the start and after the
// exit.
int DirLineCount();
std::shared_ptr<TagTelBasic> DirInstance(int line);

// The line manager hands its lines in when it starts and an empty directory
// when it stops; tests that run lines without one name their instances here.
void SetLineDirectory(TagLineDirectory dir);
