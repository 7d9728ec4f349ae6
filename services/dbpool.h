#pragma once
// The connection pool: with DB_MAX_CONN at 1 or more a script's data set is
// a TagLocalData, an in-memory copy of its last result, and its statements
// run on the backends of a pooled connection shared by every line that
// opened the same database with the same credentials. A pooled connection
// keeps at most DB_MAX_CONN backends and hands each statement to an idle
// one, oldest request first; the statement runs outside every lock.
// A backend that comes free goes straight to the oldest waiting request,
// which is woken at once; the rounds of sleepMs only bound the wait.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "services/dataset.h"

// One waiting request: the requesting thread and the backend assigned to it.
// Woken through its own condition when a backend is assigned.
struct TagDbReq {
  uint64_t thread = 0;
  TagDataSet* backend = nullptr;
  std::condition_variable wake;
};

// Makes a backend data set of a type the pool shares from the open's texts.
using TagDbBackendMaker = std::function<std::unique_ptr<TagDataSet>(
    int type, const std::string& a, const std::string& b, const std::string& c, const std::string& d)>;

struct TagDbPoolSettings {
  // Backends per connection; null reads DB_MAX_CONN.
  std::function<int()> maxConn;
  // A request waits at most rounds x sleepMs for a backend.
  int waitRounds = 200;
  int sleepMs = 50;
  // A removed backend is awaited in steps of closeSleepMs.
  int closeSleepMs = 100;
  // Null: the data sets "DbOpen(" makes (MakeDataSet).
  TagDbBackendMaker maker;
};

class TagDbConnection {
 public:
  // The key: the type and the first open's a, b and c.
  TagDbConnection(int type, const std::string& a, const std::string& b, const std::string& c,
                  const TagDbPoolSettings* settings);
  ~TagDbConnection();
  TagDbConnection(const TagDbConnection&) = delete;
  TagDbConnection& operator=(const TagDbConnection&) = delete;

  // The open count - 1; -1 for a type the pool does not take.
  int AddBackend(int type, const std::string& a, const std::string& b, const std::string& c, const std::string& d);
  // The backend's copy result, the number of backends for a "USE "
  // statement, -100 without backends (none connecting either), -200 when
  // no backend came free.
  int Exec(const std::string& statement, TagLocalResult& local);
  // The new open count; -1 when nothing was open.
  int Close();

  int Type() const { return type_; }
  bool Matches(int type, const std::string& a, const std::string& b, const std::string& c) const;
  int OpenCount() const;
  int Backends() const;
  int Waiting() const;
  // Set when the pool makes the connection; the log names it.
  int index = -1;
  // Runs f on every backend under the connection's lock (tests).
  template <typename F>
  void ForEachBackendForTest(F f) {
    std::lock_guard<std::mutex> g(lock_);
    for (auto& b : backends_) f(*b);
  }

 private:
  int MaxConn() const;
  std::unique_ptr<TagDataSet> Make() const;
  int ExecUse(const std::string& statement, TagLocalResult& local);
  // Swaps a failed backend (held busy by the caller) for a new one.
  TagDataSet* Rebuild(TagDataSet* old);
  // Hands the backend to the oldest waiting request, or marks it idle.
  void Release(TagDataSet* backend);
  // Under lock_: gives idle backends to the oldest waiting requests.
  void HandOutLocked();
  // Under lock_: wakes every waiting request and every USE or close wait.
  void WakeAllLocked();

  const TagDbPoolSettings* settings_;
  mutable std::mutex lock_;
  std::vector<std::unique_ptr<TagDataSet>> backends_;
  std::list<TagDbReq*> waiting_;
  // A USE or a close waiting for a backend to come idle.
  std::condition_variable idle_;
  // The backend a close is removing: never handed to a request.
  TagDataSet* leaving_ = nullptr;
  // USE statements waiting: a backend that has not run one is kept for them.
  int useWaiting_ = 0;
  int openCount_ = 0;
  // Opens whose backend is still connecting: a request waits for them
  // rather than finding the connection without backends.
  int making_ = 0;
  int type_;
  std::string a_, b_, c_, d_;  // of the last open that made a backend
  // The texts the key was made of (the first open).
  std::string keyA_, keyB_, keyC_;
  std::string useText_;  // the "USE " statement the backends ran
};

class TagDbConnectionsCtrl {
 public:
  explicit TagDbConnectionsCtrl(TagDbPoolSettings settings = {});
  ~TagDbConnectionsCtrl();
  TagDbConnectionsCtrl(const TagDbConnectionsCtrl&) = delete;
  TagDbConnectionsCtrl& operator=(const TagDbConnectionsCtrl&) = delete;

  // The pooled connection's index, or negative.
  int Open(int type, const std::string& a, const std::string& b, const std::string& c, const std::string& d);
  // -10 for an index outside the pool.
  int Exec(int index, const std::string& statement, TagLocalResult& local);
  int Close(int index);

  int Count() const;
  // The connection at index (stable until the pool goes), or null.
  TagDbConnection* At(int index) const;

 private:
  TagDbPoolSettings settings_;
  mutable std::mutex lock_;
  std::vector<std::unique_ptr<TagDbConnection>> conns_;
};

// A script's data set when the pool is on: the copy of its last result.
class TagLocalData : public TagLocalResult {
 public:
  TagLocalData(TagDbConnectionsCtrl* pool, int type, const std::string& a, const std::string& b,
               const std::string& c, const std::string& d);
  ~TagLocalData() override;

  int Exec(const std::string& statement) override;
  // Empties the result and leaves the pooled connection (once).
  void Close() override;
  int Index() const { return index_; }

 private:
  TagDbConnectionsCtrl* pool_;
  int index_;
  bool closed_ = false;
};

// The process-wide pool (made by the start-up routines), or null.
TagDbConnectionsCtrl* DbConnectionsCtrl();
// Makes the pool when there is none; frees it (after its last user).
void MakeDbConnectionsCtrl();
void FreeDbConnectionsCtrl();
