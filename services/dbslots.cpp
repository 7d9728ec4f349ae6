#include "services/dbslots.h"

#include <map>

#include "services/dbpool.h"

namespace {

std::mutex& MakersMu() {
  static std::mutex mu;
  return mu;
}
std::map<int, TagDataSetMaker>& Makers() {
  static std::map<int, TagDataSetMaker> makers;
  return makers;
}

}  // namespace

void SetDataSetMaker(int type, TagDataSetMaker maker) {
  std::lock_guard<std::mutex> lock(MakersMu());
  if (maker)
    Makers()[type] = std::move(maker);
  else
    Makers().erase(type);
}

std::unique_ptr<TagDataSet> MakeDataSet(const TagDbOpenArgs& args) {
  TagDataSetMaker maker;
  {
    std::lock_guard<std::mutex> lock(MakersMu());
    auto it = Makers().find(args.type);
    if (it != Makers().end()) maker = it->second;
  }
  // Opening may take long (a connection); no lock is held.
  if (maker) return maker(args);
  if (const TagDbKind* kind = FindDbKind(args.type)) return kind->make(args);
  if (args.type == kDbPoolMaker)
    return std::make_unique<TagLocalData>(DbConnectionsCtrl(), args.pooledType, args.a, args.b, args.c, args.d);
  return nullptr;
}

int TagDataSetSlots::FreeSlot() const {
  for (int i = 0; i < kSlots; ++i)
    if (!sets_[static_cast<size_t>(i)]) return i;
  return -1;
}

void TagDataSetSlots::Put(int slot, std::unique_ptr<TagDataSet> set) {
  sets_[static_cast<size_t>(slot)] = std::move(set);
  ++openCount_;
}

int TagDataSetSlots::Get(int handle, TagDataSet** set) const {
  if (handle < 0 || handle >= kSlots) return -1;
  *set = sets_[static_cast<size_t>(handle)].get();
  return *set ? 0 : -2;
}

int TagDataSetSlots::CloseOne(int handle) {
  if (handle < 0 || handle >= kSlots) return -1;
  if (openCount_ == 0) return 0;
  auto& s = sets_[static_cast<size_t>(handle)];
  if (!s) return -2;
  s.reset();
  --openCount_;
  return 0;
}

void TagDataSetSlots::CloseAll() {
  for (auto& s : sets_) s.reset();
  openCount_ = 0;
}

void TagDataSetSlots::SetLastDbError(const std::string& text) {
  std::lock_guard<std::mutex> lock(errorMu_);
  lastDbError_ = text;
}

std::string TagDataSetSlots::LastDbError() const {
  std::lock_guard<std::mutex> lock(errorMu_);
  return lastDbError_;
}
