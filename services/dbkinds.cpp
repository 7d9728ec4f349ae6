#include "services/dbkinds.h"

#include <cstdlib>

#include "services/ado.h"
#include "services/dbf.h"
#include "services/mysqldata.h"
#include "services/qeldbdata.h"
#include "services/sybdata.h"

namespace {

bool AsGiven(TagDbOpenArgs&) { return true; }

// "host" or "host:port"; the daemon's port when none is given.
bool GatewayHost(TagDbOpenArgs& args) {
  constexpr size_t kHostMax = 511;
  constexpr int kDefaultPort = 2013;
  if (args.a.size() > kHostMax) return false;
  args.port = kDefaultPort;
  const size_t colon = args.a.find(':');
  if (colon != std::string::npos) {
    args.port = std::atoi(args.a.c_str() + colon + 1);
    args.a.resize(colon);
  }
  return true;
}

std::unique_ptr<TagDataSet> MakeDbf(const TagDbOpenArgs& a) { return std::make_unique<TagDbfData>(a.a); }
std::unique_ptr<TagDataSet> MakeSqlServer(const TagDbOpenArgs& a) {
  return std::make_unique<TagSybData>(a.a, a.b, a.c, a.d);
}
std::unique_ptr<TagDataSet> MakeOdbc(const TagDbOpenArgs& a) { return std::make_unique<TagAdoData>(a.a, a.d); }
std::unique_ptr<TagDataSet> MakeMySql(const TagDbOpenArgs& a) {
  return std::make_unique<TagMySqlData>(a.a, a.b, a.c, a.d);
}
std::unique_ptr<TagDataSet> MakeGateway(const TagDbOpenArgs& a) {
  return std::make_unique<TagQelDbData>(a.a, a.port, a.b, a.c, a.d);
}

// clang-format off
constexpr TagDbKind kKinds[] = {
    // type             name          with the pool           client library   a            made by
    {kDbTypeDbf,       "dBASE",      TagDbPoolUse::kOwn,     kDbNoLibrary,    AsGiven,     MakeDbf},
    {kDbTypeSqlServer, "SQL Server", TagDbPoolUse::kShared,  kDbLibSqlServer, AsGiven,     MakeSqlServer},
    {kDbTypeAdo,       "ODBC",       TagDbPoolUse::kShared,  kDbNoLibrary,    AsGiven,     MakeOdbc},
    {kDbTypeMySql,     "MySQL",      TagDbPoolUse::kShared,  kDbLibMySql,     AsGiven,     MakeMySql},
    {kDbTypeGateway,   "gateway",    TagDbPoolUse::kRefused, kDbLibGateway,   GatewayHost, MakeGateway},
};
// clang-format on

}  // namespace

const TagDbKind* FindDbKind(int type) {
  for (const TagDbKind& k : kKinds)
    if (k.type == type) return &k;
  return nullptr;
}

std::span<const TagDbKind> DbKinds() { return kKinds; }
