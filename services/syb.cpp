#include "services/syb.h"

#include <strings.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/log.h"

namespace {

std::mutex g_logLock;
FILE* g_log = nullptr;  // under g_logLock
std::atomic<int> g_count{0};

void WriteLogLine(const std::string& text) {
  std::lock_guard<std::mutex> g(g_logLock);
  if (!g_log) return;
  std::fprintf(g_log, "[%s] %s", FormatLogTime().c_str(), text.c_str());
  std::fflush(g_log);
}

std::string VFormat(const char* fmt, va_list ap) {
  char buf[8192];
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  return buf;
}

}  // namespace

int SybErrHandler(syb::DbProcess* dbproc, int severity, int dberr, int oserr, char* dberrstr, char* oserrstr) {
  const TagSybApi* api = SybApi();
  if (!dbproc || (api && api->dbdead && api->dbdead(dbproc))) {
    SybLog("DB-Connection status : DEAD!\n");
  } else {
    std::string text = "DB-Library error:\n\t";
    text += dberrstr ? dberrstr : "";
    text += "\n";
    if (oserr != -1) {
      text += "Operating-system error:\n\t";
      text += oserrstr ? oserrstr : "";
      text += "\n";
    }
    WriteLogLine(text);
  }
  return syb::kIntCancel;
}

int SybMsgHandler(syb::DbProcess*, int32_t msgno, int msgstate, int severity, char* msgtext, char* srvname, char* proc,
               int line) {
  char head[120];
  std::snprintf(head, sizeof head, "Msg %ld, Level %d, State %d : ", static_cast<long>(msgno), severity, msgstate);
  std::string text = head;
  if (srvname && *srvname) text += std::string("Server '") + srvname + "', ";
  if (proc && *proc) text += std::string("Procedure '") + proc + "', ";
  if (line != 0) text += "Line " + std::to_string(line);
  if (msgtext && *msgtext) text += std::string("\n\t") + msgtext + "\n\n";
  WriteLogLine(text);
  return 0;
}

void SybLog(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = VFormat(fmt, ap);
  va_end(ap);
  WriteLogLine(text);
}

void TagSybResult::Forget() {
  cols = 0;
  rows = 0;
  rowWidth = 0;
  columns.clear();
  block.clear();
}

int TagSyb::Count() { return g_count.load(); }

int TagSyb::ColumnWidth(int type, int32_t length) {
  int w;
  switch (type) {
    case 34: case 37: case 45: w = length > 1024 ? 2048 : static_cast<int>(length) * 2; break;
    case 39: case 47: w = 256; break;
    case 48: case 50: w = 3; break;
    case 52: w = 6; break;
    case 56: w = 11; break;
    case 60: w = 26; break;
    case 61: w = 27; break;
    case 62: w = 20; break;
    default: w = length > 2048 ? 2048 : static_cast<int>(length); break;
  }
  return w < 0 ? 0 : w;
}

TagSyb::TagSyb(const std::string& server, const std::string& user, const std::string& password,
               const std::string& logName)
    : server_(server.substr(0, kMaxServerBytes)) {
  const int alive = ++g_count;
  {
    std::lock_guard<std::mutex> g(g_logLock);
    if (!g_log && !logName.empty()) {
      g_log = std::fopen((logName + ".log").c_str(), "a");
      if (g_log) {
        std::fprintf(g_log, "[%s] ZuRudIdovar Started.\n", FormatLogTime().c_str());
        std::fflush(g_log);
      }
    }
  }
  api_ = SybApi();
  if (!api_) {
    SybLog("Load ntwdblib.dll fail, Must install SQL Server client-tools first.\n");
    status = -2;
    return;
  }
  SybLog("Start SqlServer[%d] ...\n", alive);
  // dbinit ran once when the library was bound, the handlers after it.
  login_ = api_->dblogin ? api_->dblogin() : nullptr;
  if (login_ && api_->dbsetlname) {
    api_->dbsetlname(login_, user.c_str(), syb::kSetUser);
    api_->dbsetlname(login_, password.c_str(), syb::kSetPwd);
    api_->dbsetlname(login_, logName.c_str(), syb::kSetApp);
  }
  dbproc_ = login_ ? api_->Open(login_, server_.c_str()) : nullptr;
  status = dbproc_ ? 0 : -1;
}

TagSyb::~TagSyb() {
  result.Forget();
  if (api_) {
    if (dbproc_ && api_->dbclose) api_->dbclose(dbproc_);
    if (login_ && api_->dbloginfree) api_->dbloginfree(login_);
  }
  dbproc_ = nullptr;
  if (--g_count == 0) {
    std::lock_guard<std::mutex> g(g_logLock);
    if (g_log) {
      std::fprintf(g_log, "[%s] ZuRudIdovar Closed.\n", FormatLogTime().c_str());
      std::fclose(g_log);
      g_log = nullptr;
    }
  }
}

int TagSyb::Exec(const std::string& statement) {
  result.cols = 0;
  result.rows = 0;
  result.rowWidth = 0;
  result.retStatus = -65535;
  if (Send(statement) <= 0) return -1;
  if (FetchResults(&result) < 0) {
    SybLog("'%s' Err!\n", statement.c_str());
    return -2;
  }
  return result.rows;
}

int TagSyb::Send(const std::string& statement) {
  if (!api_) return -1;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (EnsureConnection() == 0) return -100;
    if (api_->dbcmd(dbproc_, statement.c_str()) == syb::kSucceed && api_->dbsqlsend(dbproc_) == syb::kSucceed) {
      if (trace) SybLog("--> [%s]\n", statement.c_str());
      if (useStatement_.empty() && statement.size() >= 4 && strncasecmp(statement.c_str(), "USE ", 4) == 0)
        useStatement_ = statement;
      return 1;
    }
    SybLog("Err: [%s]\n", statement.c_str());
    const int again = EnsureConnection();
    if (again != 2) return -1;
    if (attempt == 1) return -2;
  }
  return -2;
}

int TagSyb::EnsureConnection() {
  if (dbproc_ && !(api_->dbdead && api_->dbdead(dbproc_))) return 1;
  if (dbproc_ && api_->dbclose) api_->dbclose(dbproc_);
  dbproc_ = login_ ? api_->Open(login_, server_.c_str()) : nullptr;
  SybLog("ReConnect %s\n", dbproc_ ? "OK" : "Failed");
  if (!dbproc_) return 0;
  if (!useStatement_.empty() && api_->dbcmd(dbproc_, useStatement_.c_str()) == syb::kSucceed &&
      api_->dbsqlsend(dbproc_) == syb::kSucceed)
    FetchResults(&result);
  return 2;
}

int TagSyb::FetchResults(TagSybResult* r) {
  if (!dbproc_ || api_->dbsqlok(dbproc_) != syb::kSucceed) return -1;
  r->resultSets = 0;
  for (;;) {
    const int rc = api_->dbresults(dbproc_);
    if (rc == syb::kNoMoreResults) {
      if (api_->dbhasretstat && api_->dbhasretstat(dbproc_)) r->retStatus = api_->dbretstatus(dbproc_);
      return 1;
    }
    if (rc != syb::kSucceed) {
      if (trace) SybLog("_dbresults Err!\n");
      return -1;
    }
    r->Forget();
    const int n = api_->dbnumcols(dbproc_);
    r->columns.resize(n > 0 ? n : 0);
    for (int c = 0; c < n; ++c) {
      TagSybColumn& col = r->columns[c];
      const char* name = api_->dbcolname(dbproc_, c + 1);
      col.name = std::string(name ? name : "").substr(0, kMaxNameBytes);
      col.type = api_->dbcoltype(dbproc_, c + 1);
      col.width = ColumnWidth(col.type, api_->dbcollen(dbproc_, c + 1));
      col.offset = r->rowWidth;
      r->rowWidth += col.width;
      col.bind.assign(kBindBytes + 4, 0);
      api_->dbbind(dbproc_, c + 1, syb::kStringBind, kBindBytes, col.bind.data());
    }
    r->cols = static_cast<int>(r->columns.size());
    // Only a regular row goes on: the end, a failure or a full buffer ends
    // the fetch.
    while (api_->dbnextrow(dbproc_) == syb::kRegRow) {
      const size_t at = r->block.size();
      r->block.resize(at + static_cast<size_t>(r->rowWidth));
      for (const TagSybColumn& col : r->columns) {
        const size_t len = strnlen(reinterpret_cast<const char*>(col.bind.data()), col.width);
        std::memcpy(&r->block[at + col.offset], col.bind.data(), len);
        if (len < static_cast<size_t>(col.width)) std::memset(&r->block[at + col.offset + len], 0, col.width - len);
      }
      ++r->rows;
    }
    api_->dbcanquery(dbproc_);
    ++r->resultSets;
  }
}

bool TagSyb::Cell(int row, int col, std::string* out) const {
  out->clear();
  if (result.rows <= 0 || result.cols <= 0 || result.block.empty()) return false;
  if (row < 0 || row >= result.rows || col < 0 || col >= result.cols) return false;
  const TagSybColumn& c = result.columns[col];
  const char* p = &result.block[static_cast<size_t>(row) * result.rowWidth + c.offset];
  out->assign(p, strnlen(p, c.width));
  return true;
}

int TagSyb::ColIndex(const std::string& name) const {
  for (int i = 0; i < result.cols; ++i)
    if (strcasecmp(result.columns[i].name.c_str(), name.c_str()) == 0) return i;
  return -1;
}
