// The benchmarks that build script instances work in a temporary folder:
// building an instance writes its report file.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

struct TempCwd {
  std::filesystem::path old = std::filesystem::current_path();
  std::string dir;
  TempCwd() {
    char tmpl[] = "/tmp/rodiz-bench-XXXXXX";
    // Without a folder of its own the benchmark stays where it is and
    // removes nothing.
    if (mkdtemp(tmpl) == nullptr) return;
    dir = tmpl;
    std::filesystem::current_path(dir);
  }
  ~TempCwd() {
    if (dir.empty()) return;
    std::filesystem::current_path(old);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  TempCwd(const TempCwd&) = delete;
  TempCwd& operator=(const TempCwd&) = delete;
};
