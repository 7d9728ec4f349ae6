// libFuzzer target for dBASE tables: any bytes as a table file, opened,
// read by index and name, rewritten and appended to. Reads and writes must
// stay inside the record buffer whatever the header says.
// Built and run by scripts/fuzz (the fuzz preset).
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "services/dbf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = ::memfd_create("fuzz.dbf", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (::write(fd, data, size) != static_cast<ssize_t>(size)) {
    ::close(fd);
    return 0;
  }
  {
    TagDbfData d("/proc/self/fd/" + std::to_string(fd));
    const int cols = d.Cols();
    if (d.status == 0 && cols <= 0) std::abort();
    const int rows = d.Rows();
    std::string out, name;
    for (int c = -1; c <= cols; ++c) {
      d.GetColName(c, name);
      for (int r = 0; r <= rows && r <= 3; ++r) {
        d.GetValByIndex(out, c, r);
        if (out.size() > 255) std::abort();  // a field is at most 255 bytes
        if (!name.empty()) d.GetValByName(out, name, r);
      }
    }
    if (d.status == 0 && rows > 0 && rows < 100000) {
      d.SetValByIndex("fuzz", 0, 1);
      d.SetValByIndex("append", cols - 1, -1);
    }
  }
  ::close(fd);
  return 0;
}
