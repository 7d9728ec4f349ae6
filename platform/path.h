#pragma once
#include <cstdio>
#include <string>

namespace plat {

// Scripts and configuration name files the Windows way. ResolvePath turns
// '\' into '/' and, when the exact name does not exist, matches each
// component without regard to case. A component that matches nothing keeps
// the case it was given (so new files are created as named).
std::string ResolvePath(const std::string& name);

// fopen through ResolvePath.
FILE* OpenFile(const std::string& name, const char* mode);
bool FileExists(const std::string& name);

// The folder of the running program as it was started (links not
// resolved), with a trailing '/'.
std::string ProgramDir(const char* argv0);

}  // namespace plat
