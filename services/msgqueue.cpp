#include "services/msgqueue.h"

#include <algorithm>
#include <array>

#include "core/runcfg.h"
#include "engine/tagmap.h"

// ---- TagMsgFields ----

TagMsgFields::~TagMsgFields() {
  key.SetNull();
  for (TagVar& f : fields_) f.SetNull();
}

void TagMsgFields::Assign(const TagMsgFields& other) {
  if (&other == this) return;
  count_ = other.count_;
  sender = other.sender;
  callTag = other.callTag;
  key.Assign(other.key);
  for (int i = 0; i < count_; ++i) fields_[i].Assign(other.fields_[i]);
}

bool TagMsgFields::SetField(int i, const TagVar& v) {
  if (i < 0 || i >= kMaxFields) return false;
  fields_[i].Assign(v);
  return true;
}

bool TagMsgFields::GetField(int i, TagVar& out) const {
  if (i < 0 || i >= kMaxFields) return false;
  out.Assign(fields_[i]);
  return true;
}

// ---- CompareByMsgFields ----

int CompareByMsgFields::SetOrderCol(int i, int order) {
  if (i < -1 || i >= TagMsgFields::kMaxFields) return -1;
  auto it = std::find_if(cols_.begin(), cols_.end(), [i](const TagOrderCol& c) { return c.column == i; });
  if (order < 0) {
    if (it != cols_.end()) cols_.erase(it);
  } else if (it != cols_.end()) {
    it->descending = order != 0;
  } else {
    cols_.push_back({i, order != 0});
  }
  return 0;
}

bool CompareByMsgFields::operator()(const TagMsgFields& a, const TagMsgFields& b) const {
  for (const TagOrderCol& c : cols_) {
    const TagVar& va = a.Column(c.column);
    const TagVar& vb = b.Column(c.column);
    if (va.Equals(vb)) continue;
    return c.descending ? va.Greater(vb) != 0 : va.Less(vb) != 0;
  }
  // Equal on every column: neither goes first, so arrival order stands.
  return false;
}

// ---- TagMsgList ----

namespace {

bool KeyMatch(const TagMsgFields& m, const TagVar& value) { return m.key.Equals(value) != 0; }

bool FieldMatch(const TagMsgFields& m, int i, const TagVar& value) {
  return i >= 0 && i < m.FieldCount() && m.Field(i).Equals(value) != 0;
}

}  // namespace

TagMsgList::~TagMsgList() {
  std::lock_guard<std::mutex> lock(mu_);
  msgs_.clear();
}

int TagMsgList::Send(const TagMsgFields& msg) {
  const int limit = msgQueueLimit.load(std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(mu_);
  if (limit > 0 && msgs_.size() > static_cast<size_t>(limit)) return 0;
  auto copy = std::make_unique<TagMsgFields>(msg);
  if (order_.Empty()) {
    msgs_.push_back(std::move(copy));
  } else if (inOrder_) {
    // The queue is sorted already: a stable sort would put the newcomer
    // after every message it does not go before.
    auto at = std::upper_bound(msgs_.begin(), msgs_.end(), *copy,
                               [this](const TagMsgFields& v, const std::unique_ptr<TagMsgFields>& e) {
                                 return order_(v, *e);
                               });
    msgs_.insert(at, std::move(copy));
  } else {
    msgs_.push_back(std::move(copy));
    SortLocked();
  }
  Publish();
  return static_cast<int>(msgs_.size());
}

void TagMsgList::SortLocked() {
  if (!order_.Empty())
    std::stable_sort(msgs_.begin(), msgs_.end(),
                     [this](const std::unique_ptr<TagMsgFields>& a, const std::unique_ptr<TagMsgFields>& b) {
                       return order_(*a, *b);
                     });
  inOrder_ = true;
}

template <class Pred>
bool TagMsgList::TakeFirst(Pred pred, TagMsgFields& out) {
  std::unique_ptr<TagMsgFields> taken;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = std::find_if(msgs_.begin(), msgs_.end(), [&](const std::unique_ptr<TagMsgFields>& m) { return pred(*m); });
    if (it == msgs_.end()) return false;
    taken = std::move(*it);
    msgs_.erase(it);
    Publish();
  }
  out.Assign(*taken);
  return true;
}

template <class Pred>
int TagMsgList::RemoveAll(Pred pred) {
  Queue removed;
  {
    std::lock_guard<std::mutex> lock(mu_);
    Queue kept;
    for (auto& m : msgs_) (pred(*m) ? removed : kept).push_back(std::move(m));
    msgs_.swap(kept);
    Publish();
  }
  return static_cast<int>(removed.size());
}

template <class Pred>
int TagMsgList::CountIf(Pred pred) {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<int>(
      std::count_if(msgs_.begin(), msgs_.end(), [&](const std::unique_ptr<TagMsgFields>& m) { return pred(*m); }));
}

bool TagMsgList::Recv(TagMsgFields& out) {
  return TakeFirst([](const TagMsgFields&) { return true; }, out);
}

bool TagMsgList::RecvForType(const TagVar& value, TagMsgFields& out) {
  return TakeFirst([&](const TagMsgFields& m) { return KeyMatch(m, value); }, out);
}

bool TagMsgList::RecvForField(int i, const TagVar& value, TagMsgFields& out) {
  return TakeFirst([&](const TagMsgFields& m) { return FieldMatch(m, i, value); }, out);
}

bool TagMsgList::RecvFor2Field(int i, const TagVar& value1, bool either, int j, const TagVar& value2,
                               TagMsgFields& out) {
  return TakeFirst(
      [&](const TagMsgFields& m) {
        if (i >= m.FieldCount() || j >= m.FieldCount()) return false;
        const bool a = m.Column(i).Equals(value1) != 0;
        const bool b = m.Column(j).Equals(value2) != 0;
        return either ? (a || b) : (a && b);
      },
      out);
}

bool TagMsgList::RecvTagged(uint32_t tag, TagMsgFields& out) {
  std::unique_ptr<TagMsgFields> taken;
  Queue stale;
  {
    std::lock_guard<std::mutex> lock(mu_);
    while (!msgs_.empty()) {
      std::unique_ptr<TagMsgFields> m = std::move(msgs_.front());
      msgs_.pop_front();
      if (m->callTag == tag) {
        taken = std::move(m);
        break;
      }
      stale.push_back(std::move(m));
    }
    Publish();
  }
  if (!taken) return false;
  out.Assign(*taken);
  return true;
}

int TagMsgList::Clear() {
  return RemoveAll([](const TagMsgFields&) { return true; });
}

int TagMsgList::ClearFrom(int line) {
  return RemoveAll([line](const TagMsgFields& m) { return m.sender == line; });
}

int TagMsgList::ClearForType(const TagVar& value) {
  return RemoveAll([&](const TagMsgFields& m) { return KeyMatch(m, value); });
}

int TagMsgList::ClearForField(int i, const TagVar& value) {
  return RemoveAll([&](const TagMsgFields& m) { return FieldMatch(m, i, value); });
}

int TagMsgList::Count() {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<int>(msgs_.size());
}

int TagMsgList::CountForType(const TagVar& value) {
  return CountIf([&](const TagMsgFields& m) { return KeyMatch(m, value); });
}

int TagMsgList::CountForField(int i, const TagVar& value) {
  return CountIf([&](const TagMsgFields& m) { return FieldMatch(m, i, value); });
}

int TagMsgList::CountByValue(int i, TagVar& map) {
  int added = 0;
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& m : msgs_) {
    if (i >= 0 && i >= m->FieldCount()) continue;
    // Made a map first when it is none; then its element is read and
    // written under the map's lock, as another line may use the map.
    map.Item(m->Column(i));
    auto guard = TagMapObject::Instance().LockMap(map.MapHandle());
    TagVar& entry = map.Item(m->Column(i));
    if (entry.IsInt()) {
      entry.SetInt(entry.IntValue() + 1);
    } else {
      entry.SetInt(1);
      ++added;
    }
  }
  return added;
}

TagMsgList::Queue::iterator TagMsgList::FindForRead(int mode, const TagVar& value) {
  return std::find_if(msgs_.begin(), msgs_.end(), [&](const std::unique_ptr<TagMsgFields>& m) {
    if (mode == -1) return true;
    if (mode == -2) return KeyMatch(*m, value);
    return FieldMatch(*m, mode, value);
  });
}

bool TagMsgList::Read(int mode, const TagVar& value, TagMsgFields& out) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = FindForRead(mode, value);
  if (it == msgs_.end()) return false;
  out.Assign(**it);
  return true;
}

int TagMsgList::ReadFor(int i, const TagVar& value, int j, std::string& out) {
  constexpr size_t kTextLimit = 2047;
  out.clear();
  int matched = 0;
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& m : msgs_) {
    bool match;
    if (i == -1)
      match = KeyMatch(*m, value);
    else if (i < -1 || i >= m->FieldCount())
      match = true;
    else
      match = m->Field(i).Equals(value) != 0;
    if (!match) continue;
    std::string text;
    if (j == -1)
      m->key.ToText(text);
    else if (j >= 0 && j < m->FieldCount())
      m->Field(j).ToText(text);
    if (out.size() + text.size() < kTextLimit) {
      if (matched > 0) out += ',';
      out += text;
    }
    ++matched;
  }
  return matched;
}

int TagMsgList::Write(int mode, const TagVar& value, int j, const TagVar& newValue) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = FindForRead(mode, value);
  if (it == msgs_.end()) return 0;
  TagMsgFields& m = **it;
  if (j < 0)
    m.key.Assign(newValue);
  else if (j < m.FieldCount())
    m.MutableField(j).Assign(newValue);
  SortLocked();
  return 1;
}

int TagMsgList::SetMsgOrderBy(int i, int order) {
  std::lock_guard<std::mutex> lock(mu_);
  if (order_.SetOrderCol(i, order) < 0) return -1;
  inOrder_ = false;
  return 0;
}

int TagMsgList::Sort() {
  std::lock_guard<std::mutex> lock(mu_);
  if (order_.Empty()) return 0;
  SortLocked();
  return 1;
}

// ---- the process-wide queues ----

namespace {

std::array<TagMsgList, kMsgQueueCount>& GlobalQueues() {
  static std::array<TagMsgList, kMsgQueueCount> queues;
  return queues;
}

std::array<TagMsgList, kMsgQueueCount>& CallQueues() {
  static std::array<TagMsgList, kMsgQueueCount> queues;
  return queues;
}

}  // namespace

TagMsgList* GlobalMsgQueue(int q) { return q >= 0 && q < kMsgQueueCount ? &GlobalQueues()[q] : nullptr; }

TagMsgList* CallQueue(int q) { return q >= 0 && q < kMsgQueueCount ? &CallQueues()[q] : nullptr; }
