/* The published argument record compiles as C with its layout checks. */
#include "services/userdll.h"

int32_t HeaderCheckSize(int32_t count, TagDllArg* args) {
  (void)args;
  return count * (int32_t)sizeof(TagDllArg);
}
