/* The argument record handed to functions of user libraries, for C and C++.
 *
 * A user library exports functions of the form
 *     int32_t Fn(int32_t count, TagDllArg* args);
 * and gets one record per script argument, in script order. Types: 0 null,
 * 1 string, 2 integer, 3 double (4 map and 5 function are passed but never
 * taken back). text is a private copy of the value's text, NUL-terminated,
 * with capacity writable bytes (at least 1024, the terminator included); a
 * function may rewrite it in place. For a string, integer is its length plus
 * one. After the call, the records of variables are copied back: the type
 * (0 to 3 only), the integer, the double and, for a string, the text up to
 * its first NUL, which must lie within the capacity. Literal arguments are
 * never changed.
 */
#ifndef RODIZ_USERDLL_H
#define RODIZ_USERDLL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TagDllArg {
  int32_t type;
  char* text;
  int32_t integer;
  int32_t capacity; /* writable bytes at text */
  double number;
} TagDllArg;

typedef int32_t (*TagDllFn)(int32_t count, TagDllArg* args);

#ifdef __cplusplus
}
#define RODIZ_USERDLL_ASSERT static_assert
#else
#define RODIZ_USERDLL_ASSERT _Static_assert
#endif

#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
RODIZ_USERDLL_ASSERT(sizeof(TagDllArg) == 32, "argument record is 32 bytes");
RODIZ_USERDLL_ASSERT(offsetof(TagDllArg, type) == 0, "type at 0");
RODIZ_USERDLL_ASSERT(offsetof(TagDllArg, text) == 8, "text at 8");
RODIZ_USERDLL_ASSERT(offsetof(TagDllArg, integer) == 16, "integer at 16");
RODIZ_USERDLL_ASSERT(offsetof(TagDllArg, capacity) == 20, "capacity at 20");
RODIZ_USERDLL_ASSERT(offsetof(TagDllArg, number) == 24, "number at 24");
#endif

#endif
