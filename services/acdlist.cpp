#include "services/acdlist.h"

#include "platform/tick.h"

TagAcdList::TagAcdList(Clock clock) : clock_(clock) {}

TagAcdList::~TagAcdList() { Reset(); }

uint32_t TagAcdList::Now() const { return clock_ ? clock_() : plat::TickCount(); }

void TagAcdList::Reset() {
  std::lock_guard<std::mutex> lock(mu_);
  groups_.clear();
}

int TagAcdList::Send(const std::string& group, const TagMsgFields& msg) {
  std::lock_guard<std::mutex> lock(mu_);
  auto& g = groups_[group];
  if (!g) g = std::make_unique<Group>();
  g->tick = Now();
  g->queue.Send(msg);
  return static_cast<int>(g->queue.Size());
}

int TagAcdList::Num(const std::string& group) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = groups_.find(group);
  return it == groups_.end() ? 0 : it->second->queue.Count();
}

int TagAcdList::Read(int line, TagMsgFields& out) {
  std::lock_guard<std::mutex> lock(mu_);
  const uint32_t now = Now();
  Group* chosen = nullptr;
  uint32_t oldest = 0;
  for (auto& [name, g] : groups_) {
    if (g->owner >= 0 && g->owner != line) continue;
    // Ages, not raw ticks, so the choice survives the tick's wrap; a group
    // touched in this very tick is not chosen.
    const uint32_t age = now - g->tick;
    if (age == 0 || age <= oldest) continue;
    oldest = age;
    chosen = g.get();
  }
  if (!chosen) return 0;
  chosen->tick = now;
  chosen->owner = line;
  return chosen->queue.Read(-1, TagVar::ConstNull(), out) ? 1 : 0;
}

int TagAcdList::Write(int mode, const TagVar& value, int j, const TagVar& newValue) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& [name, g] : groups_)
    if (g->queue.Write(mode, value, j, newValue)) return 1;
  return 0;
}

int TagAcdList::Recv(int line, int i, const TagVar& value, TagMsgFields& out) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = groups_.begin(); it != groups_.end(); ++it) {
    Group& g = *it->second;
    if (!g.queue.RecvForField(i, value, out)) continue;
    g.tick = Now();
    g.owner = line;
    if (g.queue.Size() == 0) groups_.erase(it);
    return 1;
  }
  return 0;
}

int TagAcdList::Clear(int i, const TagVar& value) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = groups_.begin(); it != groups_.end(); ++it) {
    if (it->second->queue.ClearForField(i, value) == 0) continue;
    if (it->second->queue.Size() == 0) groups_.erase(it);
    return 1;
  }
  return 0;
}

int TagAcdList::OwnerOf(const std::string& group) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = groups_.find(group);
  return it == groups_.end() ? -2 : it->second->owner;
}

TagAcdList& GlobalAcdList() {
  static TagAcdList list;
  return list;
}

