#include "services/dbpool.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <thread>

#include "core/log.h"
#include "core/runcfg.h"
#include "platform/tick.h"
#include "services/dbslots.h"

namespace {

std::unique_ptr<TagDbConnectionsCtrl> g_pool;
std::mutex g_poolLock;

bool PoolType(int type) {
  const TagDbKind* kind = FindDbKind(type);
  return kind && kind->withPool == TagDbPoolUse::kShared;
}

bool IsUse(const std::string& s) { return s.compare(0, 4, "use ") == 0 || s.compare(0, 4, "USE ") == 0; }

uint64_t ThisThread() { return std::hash<std::thread::id>()(std::this_thread::get_id()); }

}  // namespace

TagDbConnectionsCtrl* DbConnectionsCtrl() {
  std::lock_guard<std::mutex> g(g_poolLock);
  return g_pool.get();
}

void MakeDbConnectionsCtrl() {
  std::lock_guard<std::mutex> g(g_poolLock);
  if (!g_pool) g_pool = std::make_unique<TagDbConnectionsCtrl>();
}

void FreeDbConnectionsCtrl() {
  std::unique_ptr<TagDbConnectionsCtrl> gone;
  {
    std::lock_guard<std::mutex> g(g_poolLock);
    gone = std::move(g_pool);
  }
}

// --- one pooled connection ---

TagDbConnection::TagDbConnection(int type, const std::string& a, const std::string& b, const std::string& c,
                                 const TagDbPoolSettings* settings)
    : settings_(settings), type_(type), keyA_(a), keyB_(b), keyC_(c) {}

TagDbConnection::~TagDbConnection() = default;

int TagDbConnection::MaxConn() const {
  return settings_->maxConn ? settings_->maxConn() : dbPoolSize.load();
}

bool TagDbConnection::Matches(int type, const std::string& a, const std::string& b, const std::string& c) const {
  std::lock_guard<std::mutex> g(lock_);
  return type == type_ && a == keyA_ && b == keyB_ && c == keyC_;
}

int TagDbConnection::OpenCount() const {
  std::lock_guard<std::mutex> g(lock_);
  return openCount_;
}

int TagDbConnection::Backends() const {
  std::lock_guard<std::mutex> g(lock_);
  return static_cast<int>(backends_.size());
}

int TagDbConnection::Waiting() const {
  std::lock_guard<std::mutex> g(lock_);
  return static_cast<int>(waiting_.size());
}

std::unique_ptr<TagDataSet> TagDbConnection::Make() const {
  // Another line's open may set these meanwhile: a copy, taken under the lock.
  std::string a, b, c, d;
  int type;
  {
    std::lock_guard<std::mutex> g(lock_);
    type = type_;
    a = a_;
    b = b_;
    c = c_;
    d = d_;
  }
  std::unique_ptr<TagDataSet> ds;
  if (settings_->maker) {
    ds = settings_->maker(type, a, b, c, d);
  } else {
    TagDbOpenArgs args;
    args.type = type;
    args.a = a;
    args.b = b;
    args.c = c;
    args.d = d;
    ds = MakeDataSet(args);
  }
  if (ds) {
    ds->busy = false;
    ds->useDone = false;
  }
  return ds;
}

int TagDbConnection::AddBackend(int type, const std::string& a, const std::string& b, const std::string& c,
                                const std::string& d) {
  if (!PoolType(type)) return -1;
  bool make = false;
  int count;
  {
    std::lock_guard<std::mutex> g(lock_);
    type_ = type;
    count = ++openCount_;
    if (count <= MaxConn()) {
      a_ = a;
      b_ = b;
      c_ = c;
      d_ = d;
      make = true;
      ++making_;
    }
  }
  if (make) {
    // The connect is a network call: made outside the lock, kept whatever
    // its status (it is rebuilt before it serves a request).
    std::unique_ptr<TagDataSet> ds = Make();
    {
      std::lock_guard<std::mutex> g(lock_);
      --making_;
      // Closes while it connected may have lowered the count: a backend
      // lands only while the connection is short of min(count, max).
      const size_t want = static_cast<size_t>(std::max(0, std::min(openCount_, MaxConn())));
      if (ds && backends_.size() < want) backends_.push_back(std::move(ds));
      // A request may wait for this backend, or for the connect to end.
      HandOutLocked();
      WakeAllLocked();
    }
    // An unwanted one is closed here, outside the lock.
  }
  return count - 1;
}

void TagDbConnection::HandOutLocked() {
  if (waiting_.empty()) return;
  for (auto& p : backends_) {
    if (p->busy || p.get() == leaving_ || (useWaiting_ > 0 && !p->useDone)) continue;
    p->busy = true;
    TagDbReq* oldest = waiting_.front();
    waiting_.pop_front();
    oldest->backend = p.get();
    oldest->wake.notify_one();
    if (waiting_.empty()) return;
  }
}

void TagDbConnection::WakeAllLocked() {
  for (TagDbReq* r : waiting_) r->wake.notify_one();
  idle_.notify_all();
}

void TagDbConnection::Release(TagDataSet* backend) {
  if (!backend) return;
  std::lock_guard<std::mutex> g(lock_);
  // Straight to the oldest request: the backend never sits idle while one
  // waits. A USE waiting for this backend takes it first.
  if (backend != leaving_ && !waiting_.empty() && !(useWaiting_ > 0 && !backend->useDone)) {
    TagDbReq* oldest = waiting_.front();
    waiting_.pop_front();
    oldest->backend = backend;
    oldest->wake.notify_one();
    return;
  }
  backend->busy = false;
  idle_.notify_all();
}

TagDataSet* TagDbConnection::Rebuild(TagDataSet* old) {
  std::unique_ptr<TagDataSet> fresh = Make();
  if (!fresh) return old;
  // Not yet in the list: no other thread sees it.
  fresh->busy = true;
  std::string use;
  bool useDone;
  {
    std::lock_guard<std::mutex> g(lock_);
    useDone = old->useDone;
    if (useDone) use = useText_;
  }
  // The database the old one was switched to, on the new connection.
  if (!use.empty() && fresh->status >= 0) fresh->Exec(use);
  fresh->useDone = useDone;
  TagDataSet* now = fresh.get();
  std::unique_ptr<TagDataSet> gone;
  {
    std::lock_guard<std::mutex> g(lock_);
    auto it = std::find_if(backends_.begin(), backends_.end(), [&](const auto& p) { return p.get() == old; });
    if (it == backends_.end()) return old;
    gone = std::move(*it);
    *it = std::move(fresh);
  }
  LogF("DbPool[%d]: a backend that failed to connect was made again, status %d", index, now->status);
  return now;
}

int TagDbConnection::ExecUse(const std::string& statement, TagLocalResult& local) {
  // Each backend not yet switched runs the statement once, taken busy
  // first so it never runs beside another request.
  bool dropped = false;
  std::string ran;
  {
    // Backends that have not run a USE are kept from requests until it ends.
    std::lock_guard<std::mutex> g(lock_);
    ++useWaiting_;
  }
  for (int round = 0; round < settings_->waitRounds; ++round) {
    TagDataSet* take = nullptr;
    bool pending = false;
    {
      std::lock_guard<std::mutex> g(lock_);
      for (auto& p : backends_) {
        if (p->useDone) {
          if (!useText_.empty() && useText_ != statement) dropped = true;
          continue;
        }
        if (p->busy) {
          pending = true;
          continue;
        }
        p->busy = true;
        take = p.get();
        break;
      }
      // A backend still connecting gets the statement once it lands.
      if (making_ > 0) pending = true;
      ran = useText_;
    }
    if (take) {
      if (take->status < 0) take = Rebuild(take);
      take->ExecToLocal(statement, local);
      {
        std::lock_guard<std::mutex> g(lock_);
        take->useDone = true;
        if (useText_.empty()) useText_ = statement;
      }
      Release(take);
      continue;
    }
    if (!pending) break;
    std::unique_lock<std::mutex> g(lock_);
    idle_.wait_for(g, std::chrono::milliseconds(settings_->sleepMs));
  }
  {
    std::lock_guard<std::mutex> g(lock_);
    --useWaiting_;
    HandOutLocked();
  }
  if (dropped) {
    // The pool's key has no database: a second choice cannot be honoured.
    LogF("DbPool[%d]: \"%.60s\" not run, the backends already ran \"%.60s\"", index, statement.c_str(), ran.c_str());
  }
  std::lock_guard<std::mutex> g(lock_);
  // The connects it waited for ended without a backend.
  if (backends_.empty()) return -100;
  return static_cast<int>(backends_.size());
}

int TagDbConnection::Exec(const std::string& statement, TagLocalResult& local) {
  {
    std::lock_guard<std::mutex> g(lock_);
    if (backends_.empty() && making_ == 0) return -100;
  }
  if (IsUse(statement)) return ExecUse(statement, local);

  TagDbReq req;
  req.thread = ThisThread();
  TagDataSet* mine = nullptr;
  {
    std::unique_lock<std::mutex> g(lock_);
    waiting_.push_back(&req);
    HandOutLocked();
    // Rounds of sleepMs bound the wait; a release or a landed backend wakes
    // it at once, and each round also hands out whatever is idle.
    for (int round = 0; round < settings_->waitRounds && !req.backend; ++round) {
      // The connects it waited for ended without a backend.
      if (backends_.empty() && making_ == 0) {
        waiting_.remove(&req);
        return -100;
      }
      req.wake.wait_for(g, std::chrono::milliseconds(settings_->sleepMs),
                        [&] { return req.backend != nullptr || (backends_.empty() && making_ == 0); });
      HandOutLocked();
    }
    mine = req.backend;
    if (!mine) {
      waiting_.remove(&req);
      return backends_.empty() && making_ == 0 ? -100 : -200;
    }
  }
  if (mine->status < 0) mine = Rebuild(mine);
  const int r = mine->ExecToLocal(statement, local);
  Release(mine);
  return r;
}

int TagDbConnection::Close() {
  std::unique_ptr<TagDataSet> gone;
  {
    std::lock_guard<std::mutex> g(lock_);
    if (openCount_ < 1) return -1;
    --openCount_;
    if (!(openCount_ < MaxConn() && openCount_ < static_cast<int>(backends_.size()))) return openCount_;
  }
  // The last backend goes once its request is done; it is handed to no
  // further request meanwhile, and the wait releases the lock.
  {
    std::unique_lock<std::mutex> g(lock_);
    for (;;) {
      if (backends_.size() <= static_cast<size_t>(openCount_)) break;
      TagDataSet* last = backends_.back().get();
      if (!last->busy) {
        gone = std::move(backends_.back());
        backends_.pop_back();
        // Requests waiting on a connection left without backends end now.
        if (backends_.empty()) WakeAllLocked();
        break;
      }
      leaving_ = last;
      idle_.wait_for(g, std::chrono::milliseconds(settings_->closeSleepMs));
    }
    leaving_ = nullptr;
  }
  gone.reset();
  std::lock_guard<std::mutex> g(lock_);
  return openCount_;
}

// --- the pool ---

TagDbConnectionsCtrl::TagDbConnectionsCtrl(TagDbPoolSettings settings) : settings_(std::move(settings)) {}

TagDbConnectionsCtrl::~TagDbConnectionsCtrl() = default;

int TagDbConnectionsCtrl::Count() const {
  std::lock_guard<std::mutex> g(lock_);
  return static_cast<int>(conns_.size());
}

TagDbConnection* TagDbConnectionsCtrl::At(int index) const {
  std::lock_guard<std::mutex> g(lock_);
  return index >= 0 && index < static_cast<int>(conns_.size()) ? conns_[static_cast<size_t>(index)].get() : nullptr;
}

int TagDbConnectionsCtrl::Open(int type, const std::string& a, const std::string& b, const std::string& c,
                               const std::string& d) {
  if (!PoolType(type)) return -1;
  TagDbConnection* conn = nullptr;
  int index = -1;
  {
    std::lock_guard<std::mutex> g(lock_);
    for (size_t i = 0; i < conns_.size(); ++i) {
      if (conns_[i]->Matches(type, a, b, c)) {
        conn = conns_[i].get();
        index = static_cast<int>(i);
        break;
      }
    }
    if (!conn) {
      // Keyed at once, so a second open of the same database finds it
      // while the first still connects.
      conns_.push_back(std::make_unique<TagDbConnection>(type, a, b, c, &settings_));
      conn = conns_.back().get();
      index = static_cast<int>(conns_.size() - 1);
      conn->index = index;
    }
  }
  // The backend's connect runs outside the pool's lock.
  conn->AddBackend(type, a, b, c, d);
  return index;
}

int TagDbConnectionsCtrl::Exec(int index, const std::string& statement, TagLocalResult& local) {
  TagDbConnection* conn = At(index);
  return conn ? conn->Exec(statement, local) : -10;
}

int TagDbConnectionsCtrl::Close(int index) {
  TagDbConnection* conn = At(index);
  return conn ? conn->Close() : -10;
}

// --- the script's data set ---

TagLocalData::TagLocalData(TagDbConnectionsCtrl* pool, int type, const std::string& a, const std::string& b,
                           const std::string& c, const std::string& d)
    : pool_(pool), index_(pool ? pool->Open(type, a, b, c, d) : -1) {
  status = index_;
}

TagLocalData::~TagLocalData() { Close(); }

int TagLocalData::Exec(const std::string& statement) {
  if (!pool_) return -10;
  return pool_->Exec(index_, statement, *this);
}

void TagLocalData::Close() {
  Empty();
  if (closed_ || !pool_ || index_ < 0) return;
  closed_ = true;
  pool_->Close(index_);
}
