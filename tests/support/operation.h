#pragma once
// Building one operation the way the statement compiler does: through the
// process-wide factory, with the keyword's own argument count checked.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "engine/keyword.h"
#include "engine/opfactory.h"
#include "engine/oper.h"
#include "engine/telbasic.h"

namespace testsupport {

// The operation of keyword id with these argument values, compiled in inst
// for a line of lineType; a test failure when the keyword is not registered
// or the count is wrong.
inline std::unique_ptr<TagOper> MakeOperation(KeywordId id, const std::vector<TagVar*>& args, TagTelBasic* inst,
                                              int lineType, int lineNo = 0) {
  const RecKeyword& kw = KeywordRec(id);
  EXPECT_TRUE(TagOpFactory::Instance().Has(kw.index)) << kw.name << " is not registered";
  EXPECT_EQ(static_cast<int>(args.size()), kw.argCount) << kw.name;
  TagTelBasic* root = inst ? TagTelBasic::GetRoot(inst) : nullptr;
  return std::unique_ptr<TagOper>(TagOpFactory::Instance().Make(TagOpArgs{kw, args, inst, root, lineType, lineNo}));
}

}  // namespace testsupport
