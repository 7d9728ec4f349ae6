#pragma once
// The kinds of data set a script opens with "DbOpen(", one row each: its
// code, how it is made, whether the connection pool shares it, the client
// library it needs and how its first text is read. Adding a kind is a row
// here and its data set class.
#include <memory>
#include <span>
#include <string>

#include "services/dblibs.h"
#include "services/dataset.h"

// "DbOpen(" type codes.
enum TagDbType : int {
  kDbTypeDbf = 0,
  kDbTypeSqlServer = 1,
  kDbTypeAdo = 4,
  kDbTypeMySql = 5,
  kDbTypeGateway = 7,
};

struct TagDbOpenArgs {
  int type = 0;
  std::string a, b, c, d;
  // The port, for kinds whose a names a host and port (a keeps the host).
  int port = 0;
  // The type asked for, when type is kDbPoolMaker.
  int pooledType = 0;
};

// What "DbOpen(" does with a kind while the connection pool is on.
enum class TagDbPoolUse {
  kOwn,      // opened on its own, as without the pool
  kShared,   // a pooled connection, shared by every open of the same key
  kRefused,  // the pool has no backends of this kind: the open fails
};

// The kind uses no client library of its own (linked into the program).
constexpr int kDbNoLibrary = -1;

struct TagDbKind {
  int type;
  const char* name;
  TagDbPoolUse withPool;
  // A TagDbLibrary, or kDbNoLibrary.
  int library;
  // Reads the open's a (and sets port); false when a cannot name a place.
  bool (*readAddress)(TagDbOpenArgs& args);
  std::unique_ptr<TagDataSet> (*make)(const TagDbOpenArgs& args);
};

// The row of a type code, or null for a code no kind has.
const TagDbKind* FindDbKind(int type);
// Every row.
std::span<const TagDbKind> DbKinds();
