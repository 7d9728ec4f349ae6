#pragma once
#include <set>
#include <string>
#include <string_view>

// The distinct names of a statement text in byte order, for the debugger's
// watch of a statement: string literals skipped (a backslash escapes the
// next byte), words that begin with a digit or '.' are numbers and left out,
// ';' ends the scan. Keywords come out too; they are simply not variables.
std::set<std::string> StatementNames(std::string_view text);
