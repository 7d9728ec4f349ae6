// A user library for the bridge's tests: each function exercises one way a
// function may use its argument records.
#include <sys/mman.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <stdexcept>

#include "services/userdll.h"

extern "C" {

// The argument count, untouched records.
int32_t CountArgs(int32_t count, TagDllArg*) { return count; }

// Doubles the integer of record 0 in place.
int32_t Twice(int32_t, TagDllArg* a) {
  a[0].type = 2;
  a[0].integer = a[0].integer * 2;
  return a[0].integer;
}

// Upper-cases the text of record 0 in place; the result is its length.
int32_t UpCase(int32_t, TagDllArg* a) {
  size_t n = std::strlen(a[0].text);
  for (size_t i = 0; i < n; ++i) a[0].text[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(a[0].text[i])));
  return static_cast<int32_t>(n);
}

// Record 1 becomes the double half of record 0's integer.
int32_t Half(int32_t, TagDllArg* a) {
  a[1].type = 3;
  a[1].number = a[0].integer / 2.0;
  return 0;
}

int32_t SetFive(int32_t, TagDllArg* a) {
  a[0].type = 2;
  a[0].integer = 5;
  return 1;
}

// Fills the whole writable text of record 0; the result is its capacity.
int32_t Fill(int32_t, TagDllArg* a) {
  std::memset(a[0].text, 'x', static_cast<size_t>(a[0].capacity) - 1);
  a[0].text[a[0].capacity - 1] = '\0';
  a[0].type = 1;
  return a[0].capacity;
}

// Leaves the text without a terminator inside its capacity.
int32_t NoEnd(int32_t, TagDllArg* a) {
  std::memset(a[0].text, 'y', static_cast<size_t>(a[0].capacity));
  a[0].type = 1;
  return 0;
}

// Claims a map handle made from an integer.
int32_t ForgeMap(int32_t, TagDllArg* a) {
  a[0].type = 4;
  a[0].integer = 1;
  return 0;
}

int32_t Throw(int32_t, TagDllArg*) { throw std::runtime_error("boom in user code"); }

// Hardware faults, as careless user code raises them. Built without the
// sanitizers' checks, which would report each before the hardware does.
#define RODIZ_RAW_CODE __attribute__((noinline, no_sanitize("address", "undefined")))

// Reads through a null pointer the compiler cannot see is null. Record 0
// first gets a value: the fault must leave the variable as it was.
RODIZ_RAW_CODE int32_t SegvNull(int32_t, TagDllArg* a) {
  a[0].type = 2;
  a[0].integer = 99;
  int* volatile p = nullptr;
  return *p;
}

RODIZ_RAW_CODE int32_t FpeDivide(int32_t, TagDllArg* a) {
  volatile int32_t zero = 0;
  return a[0].integer / zero;
}

// Reads a page mapped past the end of an empty file.
RODIZ_RAW_CODE int32_t BusMapped(int32_t, TagDllArg*) {
  static volatile char* page = [] {
    const int fd = memfd_create("rodiz-bus", 0);
    void* p = fd < 0 ? MAP_FAILED : mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE, fd, 0);
    if (fd >= 0) close(fd);
    return p == MAP_FAILED ? nullptr : static_cast<volatile char*>(p);
  }();
  if (!page) return -7;  // no bus error to be had here
  return page[0];
}

RODIZ_RAW_CODE int32_t IllInstr(int32_t, TagDllArg*) {
#if defined(__x86_64__) || defined(__i386__)
  __asm__ volatile("ud2");
#elif defined(__aarch64__)
  __asm__ volatile("udf #0");
#else
  __builtin_trap();
#endif
  return 0;
}

}  // extern "C"
