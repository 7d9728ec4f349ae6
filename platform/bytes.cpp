#include "platform/bytes.h"

#include <sys/stat.h>

namespace plat {

int64_t FileSizeOf(FILE* f) {
  struct stat st;
  if (!f || ::fstat(::fileno(f), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

}  // namespace plat
