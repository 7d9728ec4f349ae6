// The database operations: open data sets into the line's 1024 slots, run
// statements, read and write cells, copy a whole result into a map, close.
// Statements run on the line's own thread.
#include <cctype>
#include <memory>
#include <string>

#include "core/log.h"
#include "core/runcfg.h"
#include "engine/argoper.h"
#include "engine/keyword.h"
#include "engine/opfactory.h"
#include "engine/tagmap.h"
#include "engine/tagvar.h"
#include "engine/telbasic.h"
#include "operations/argread.h"
#include "platform/text.h"
#include "platform/trim.h"
#include "services/dataset.h"
#include "services/dbslots.h"

namespace {

class TagDbOper : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;

 protected:
  TagDataSetSlots& Slots() const { return Root().Services().Get<TagDataSetSlots>(); }
  // -1 / -2 for a bad handle, else 0 with the data set.
  int DataSet(int handle, TagDataSet** set) const { return Slots().Get(handle, set); }
  // The column argument is a name when it holds a string.
  static bool IsName(const TagVar& v) { return v.IsString(); }
};

class TagDbOpen : public TagDbOper {
 public:
  using TagDbOper::TagDbOper;
  int Execute() override {
    TagDataSetSlots& slots = Slots();
    const int slot = slots.FreeSlot();
    if (slot < 0 || slots.OpenCount() + 1 > TagDataSetSlots::kMaxOpen) {
      static const std::string tooMany = plat::Utf8ToGbk("打开的数据库太多");
      static const std::string caption = plat::Utf8ToGbk("运行错误");
      Root().ErrorBox(lineNo, tooMany, caption);
      return -1;
    }
    const int result = Open(slots, slot);
    Arg(5).SetInt(result);
    return result;
  }

 private:
  int Open(TagDataSetSlots& slots, int slot) {
    TagDbOpenArgs args;
    args.type = ArgInt(Arg(0));
    args.a = ArgText(Arg(1));
    args.b = ArgText(Arg(2));
    args.c = ArgText(Arg(3));
    args.d = ArgText(Arg(4));
    const TagDbKind* dbKind = FindDbKind(args.type);
    std::unique_ptr<TagDataSet> set;
    if (dbPoolSize.load() >= 1 && !(dbKind && dbKind->withPool == TagDbPoolUse::kOwn)) {
      // With the pool on, a code it has no backends for fails without a box.
      if (!dbKind || dbKind->withPool != TagDbPoolUse::kShared) return -2;
      TagDbOpenArgs pooled = args;
      pooled.type = kDbPoolMaker;
      pooled.pooledType = args.type;
      set = MakeDataSet(pooled);
      if (!set) Log("DbOpen: no connection pool");
    } else if (!dbKind) {
      Root().ErrorBox(lineNo, "Invalid data type", "Runtime Error");
      return -2;
    } else {
      if (!dbKind->readAddress(args)) return -2;
      set = MakeDataSet(args);
    }
    if (!set || set->status < 0) return -2;
    set->typeCode = args.type;
    slots.Put(slot, std::move(set));
    return slot;
  }
};

class TagDbExec : public TagDbOper {
 public:
  using TagDbOper::TagDbOper;
  int Execute() override {
    const int handle = ArgInt(Arg(0));
    TagDataSet* set = nullptr;
    const int bad = DataSet(handle, &set);
    if (bad < 0) {
      LogF("DbExec: ret=%d, i=%d, dbCount=%d", bad, handle, Slots().OpenCount());
      return bad;
    }
    const int r = set->Exec(ArgText(Arg(1)));
    Slots().SetLastDbError(set->lastError);
    if (r < 0) LogF("DbExec: ret=%d, i=%d, dbCount=%d", r, handle, Slots().OpenCount());
    return r;
  }
};

class TagDbRows : public TagDbOper {
 public:
  using TagDbOper::TagDbOper;
  int Execute() override {
    TagDataSet* set = nullptr;
    const int bad = DataSet(ArgInt(Arg(0)), &set);
    if (bad < 0) return bad;
    const int n = set->Rows();
    Arg(1).SetInt(n);
    return n;
  }
};

class TagDbGetField : public TagDbOper {
 public:
  using TagDbOper::TagDbOper;
  int Execute() override {
    TagDataSet* set = nullptr;
    const int bad = DataSet(ArgInt(Arg(0)), &set);
    if (bad < 0) return bad;
    std::string out;
    const int row = ArgInt(Arg(2));
    const int r = IsName(Arg(1)) ? set->GetValByName(out, ArgText(Arg(1)), row)
                                 : set->GetValByIndex(out, ArgStored(Arg(1)), row);
    if (out.size() > kDbValueMax) out.resize(kDbValueMax);
    // A C buffer: the text ends at its first NUL.
    const size_t nul = out.find('\0');
    if (nul != std::string::npos) out.resize(nul);
    Arg(3).SetString(out);
    return r;
  }
};

class TagDbSetField : public TagDbOper {
 public:
  using TagDbOper::TagDbOper;
  int Execute() override {
    TagDataSet* set = nullptr;
    const int bad = DataSet(ArgInt(Arg(0)), &set);
    if (bad < 0) return bad;
    const int row = ArgStored(Arg(2));
    const std::string value = ArgText(Arg(3));
    return IsName(Arg(1)) ? set->SetValByName(value, ArgText(Arg(1)), row)
                          : set->SetValByIndex(value, ArgStored(Arg(1)), row);
  }
};

class TagDbClose : public TagDbOper {
 public:
  using TagDbOper::TagDbOper;
  int Execute() override { return Slots().CloseOne(ArgInt(Arg(0))); }
};

class TagDbCloseAll : public TagDbOper {
 public:
  using TagDbOper::TagDbOper;
  int Execute() override {
    Slots().CloseAll();
    return 0;
  }
};

class TagDbSetDebug : public TagDbOper {
 public:
  using TagDbOper::TagDbOper;
  int Execute() override {
    TagDataSet* set = nullptr;
    const int bad = DataSet(ArgInt(Arg(0)), &set);
    if (bad < 0) return bad;
    set->SetDebug(ArgInt(Arg(1)));
    return 0;
  }
};

std::string CaseOf(std::string s, int mode) {
  // Only ASCII letters change: GB bytes stay as they are.
  for (char& ch : s) {
    const unsigned char u = static_cast<unsigned char>(ch);
    if (u >= 0x80) continue;
    if (mode == 2) ch = static_cast<char>(std::toupper(u));
    if (mode == 3) ch = static_cast<char>(std::tolower(u));
  }
  return s;
}

class TagDbExecMap : public TagDbOper {
 public:
  using TagDbOper::TagDbOper;
  int Execute() override {
    TagDataSet* set = nullptr;
    const int bad = DataSet(ArgInt(Arg(0)), &set);
    if (bad < 0) return bad;
    const int r = set->Exec(ArgText(Arg(1)));
    if (r < 0) return r;
    TagVar& out = Arg(2);
    out.SetInt(0);
    const int rows = set->Rows();
    if (rows <= 0) return rows;
    const int cols = set->Cols();
    int keyCol = -1;
    if (Arg(4).IsString()) {
      const std::string name = ArgText(Arg(4));
      keyCol = name.empty() ? -1 : set->GetColIndex(name);
    } else {
      keyCol = ArgInt(Arg(4));
    }
    if (keyCol >= cols) keyCol = -1;
    const int naming = ArgInt(Arg(3));

    std::vector<TagVar> colKeys;
    for (int c = 0; c < cols; ++c) {
      if (naming == 0) {
        colKeys.push_back(TagVar::Int(c));
      } else {
        std::string name;
        set->GetColName(c, name);
        colKeys.push_back(TagVar::Str(CaseOf(name, naming)));
      }
    }
    TagMapObject& maps = TagMapObject::Instance();
    TagVar result;
    result.SetMap(maps.NewMap());
    std::string value;
    for (int row = 1; row <= rows; ++row) {
      TagVar rowMap;
      rowMap.SetMap(maps.NewMap());
      TagVar rowKey = TagVar::Int(row);
      for (int c = 0; c < cols; ++c) {
        value.clear();
        set->GetValByIndex(value, c, row);
        const size_t nul = value.find('\0');
        if (nul != std::string::npos) value.resize(nul);
        plat::TrimText(value);
        maps.FindOrInsert(rowMap.MapHandle(), colKeys[static_cast<size_t>(c)])->SetString(value);
        if (c == keyCol) rowKey.SetString(value);
      }
      maps.FindOrInsert(result.MapHandle(), rowKey)->Assign(rowMap);
      rowMap.SetNull();
    }
    out.Assign(result);
    result.SetNull();
    return rows;
  }
};

}  // namespace

const TagOpTable& DatabaseOperations() {
  static const TagOpTable entries = {
      {KeywordId::DbOpen, MakeLineOper<TagDbOpen>},         {KeywordId::DbExec, MakeLineOper<TagDbExec>},
      {KeywordId::DbRows, MakeLineOper<TagDbRows>},         {KeywordId::DbGetField, MakeLineOper<TagDbGetField>},
      {KeywordId::DbSetField, MakeLineOper<TagDbSetField>}, {KeywordId::DbClose, MakeLineOper<TagDbClose>},
      {KeywordId::DbCloseAll, MakeLineOper<TagDbCloseAll>}, {KeywordId::DbSetDebug, MakeLineOper<TagDbSetDebug>},
      {KeywordId::DbExecMap, MakeLineOper<TagDbExecMap>},
  };
  return entries;
}
