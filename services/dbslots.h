#pragma once
// The data sets of a script instance: 1024 numbered slots, each empty or
// owning one data set; a handle is a slot number. Kept in the line's
// services, so a reload or stop closes every file and connection the
// script left open.
//
// A data set of a type is made as its row of the kinds' table says
// (services/dbkinds.h); tests put makers of their own in its place.
#include <array>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "engine/lineservices.h"
#include "services/dataset.h"
#include "services/dbkinds.h"

using TagDataSetMaker = std::function<std::unique_ptr<TagDataSet>(const TagDbOpenArgs&)>;

// The key of the pool's maker, used for the kinds the pool shares when it
// is on.
constexpr int kDbPoolMaker = -1;
// Registers (or with an empty maker removes) the maker of a type; one
// registered for a built-in type replaces it (tests use fakes).
void SetDataSetMaker(int type, TagDataSetMaker maker);
// The data set of the type, or null when no maker can make it.
std::unique_ptr<TagDataSet> MakeDataSet(const TagDbOpenArgs& args);

class TagDataSetSlots : public TagLineService {
 public:
  static constexpr int kSlots = 1024;
  // One slot always stays free.
  static constexpr int kMaxOpen = kSlots - 1;

  ~TagDataSetSlots() override { CloseAll(); }
  void Close() override { CloseAll(); }

  // The lowest empty slot, or -1 when the table is full.
  int FreeSlot() const;
  // Takes the data set into the slot (empty, from FreeSlot).
  void Put(int slot, std::unique_ptr<TagDataSet> set);
  // -1 outside 0..1023, -2 empty; else 0 with the data set.
  int Get(int handle, TagDataSet** set) const;
  // -1 outside 0..1023, 0 when nothing at all is open, -2 empty slot, 0
  // when the data set was deleted.
  int CloseOne(int handle);
  // Deletes every data set in slot order.
  void CloseAll();
  int OpenCount() const { return openCount_; }

  // The last error text of the last "DbExec(" (system information reads
  // it, possibly from another thread).
  void SetLastDbError(const std::string& text);
  std::string LastDbError() const;

 private:
  std::array<std::unique_ptr<TagDataSet>, kSlots> sets_;
  int openCount_ = 0;
  mutable std::mutex errorMu_;
  std::string lastDbError_;
};
