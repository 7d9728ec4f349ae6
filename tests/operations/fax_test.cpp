// The fax operations: what reaches the line's call object, what comes back
// into the script's values, and text files rendered into fax files.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "engine/kxcall.h"
#include "engine/telbasic.h"
#include "tests/operations/op_fixture.h"
#include "tests/support/operation.h"
#include "tests/support/tempdir.h"
#include "tools/t4codes.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
void WriteBytes(const std::string& path, const Bytes& b) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()),
                                               static_cast<std::streamsize>(b.size()));
}

// Test double of a card line's call object for the fax slots.
class FaxCall : public TagKxCall {
 public:
  void SetFaxLocalId(const std::string& text) override { localId = text; }
  void GetFaxResource(int& total, int& inUse) override {
    total = 4;
    inUse = 3;
  }
  int SendFax(const std::string& file) override {
    sent.push_back(file);
    return sendResult;
  }
  int RecvFax(const std::string& file) override {
    received.push_back(file);
    return -3;
  }
  std::string localId = "unset";
  std::vector<std::string> sent, received;
  int sendResult = 1;
};

class FaxOps : public ::testing::Test {
 protected:
  void SetUp() override {
    cwd_ = std::make_unique<testsupport::ScopedCwd>(dir_.path());
    inst_ = std::make_unique<TagTelBasic>("none.kxs", 0, &call_, 0);
    inst_->initResult = 0;
  }
  void TearDown() override {
    for (auto& v : vars_) v->SetNull();
    inst_.reset();
    cwd_.reset();
  }
  TagVar* V(TagVar v) {
    vars_.push_back(std::make_unique<TagVar>(v));
    return vars_.back().get();
  }
  int Exec(KeywordId id, const std::vector<TagVar*>& args, TagTelBasic* inst = nullptr) {
    auto op = testsupport::MakeOperation(id, args, inst ? inst : inst_.get(), kLineDig);
    return op ? op->Execute() : -999;
  }

  testsupport::TempDir dir_;
  std::unique_ptr<testsupport::ScopedCwd> cwd_;
  FaxCall call_;
  std::unique_ptr<TagTelBasic> inst_;
  std::vector<std::unique_ptr<TagVar>> vars_;
};

TEST_F(FaxOps, LineOperationsReachTheCallObject) {
  using optest::S;
  using optest::I;
  EXPECT_EQ(Exec(KeywordId::SetFaxLocalId, {V(S("+86 10 5555"))}), 0);
  EXPECT_EQ(call_.localId, "+86 10 5555");

  TagVar* total = V(I(-1));
  TagVar* inUse = V(S("x"));
  EXPECT_EQ(Exec(KeywordId::GetFaxResource, {total, inUse}), 0);
  EXPECT_EQ(optest::Show(*total), "4");
  EXPECT_EQ(optest::Show(*inUse), "3");
  TagVar* constant = V(optest::C(I(9)));
  EXPECT_EQ(Exec(KeywordId::GetFaxResource, {constant, V(I(0))}), 0);
  EXPECT_EQ(optest::Show(*constant), "9");

  struct Case {
    KeywordId id;
    int callResult;
    int result;
  };
  const Case cases[] = {{KeywordId::SendFax, 1, 1}, {KeywordId::SendFax, -2, -2}, {KeywordId::RecvFax, 0, -3}};
  for (const Case& k : cases) {
    call_.sendResult = k.callResult;
    EXPECT_EQ(Exec(k.id, {V(S("c:\\fax\\out.tif"))}), k.result);
  }
  EXPECT_EQ(call_.sent, (std::vector<std::string>{"c:\\fax\\out.tif", "c:\\fax\\out.tif"}));
  EXPECT_EQ(call_.received, (std::vector<std::string>{"c:\\fax\\out.tif"}));
}

TEST_F(FaxOps, GetFaxResourceOnALineWithoutFaxWritesZeros) {
  TagKxCall plain;
  TagTelBasic inst("none.kxs", 0, &plain, 0);
  inst.initResult = 0;
  TagVar* total = V(optest::I(5));
  TagVar* inUse = V(optest::I(5));
  EXPECT_EQ(Exec(KeywordId::GetFaxResource, {total, inUse}, &inst), 0);
  EXPECT_EQ(optest::Show(*total), "0");
  EXPECT_EQ(optest::Show(*inUse), "0");
}

class Txt2Fax : public FaxOps {
 protected:
  void SetUp() override {
    FaxOps::SetUp();
    WriteResources();
  }
  void WriteResources() {
    std::filesystem::create_directory(dir_ / "res");
    WriteBytes(dir_ / "res/huffman.cod", t4::HuffmanCodFile());
    WriteBytes(dir_ / "res/asc16", Bytes(4096, 0));
    WriteBytes(dir_ / "res/hzk16", Bytes(94 * 94 * 32, 0));
    WriteBytes(dir_ / "res/hzk16f", Bytes(94 * 94 * 32, 0xFF));
  }
  int Render(const std::string& text, const std::string& fax) {
    WriteBytes(dir_ / "t.txt", Bytes(text.begin(), text.end()));
    return Exec(KeywordId::Txt2FaxFile, {V(optest::S("t.txt")), V(optest::S(fax)), V(optest::S("res"))});
  }
};

TEST_F(Txt2Fax, ResultsOfTheConversion) {
  struct Case {
    const char* name;
    const char* remove;
    const char* textFile;
    int result;
  };
  const Case cases[] = {
      {"done", nullptr, "t.txt", 0},
      {"missing text file", nullptr, "none.txt", -3},
      {"no code table", "res/huffman.cod", "t.txt", -1},
      {"no fonts", "res/asc16", "t.txt", -2},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    WriteResources();
    WriteBytes(dir_ / "t.txt", Bytes{'h', 'i', '\n'});
    if (k.remove) std::filesystem::remove(dir_ / k.remove);
    std::filesystem::remove(dir_ / "o.tif");
    EXPECT_EQ(Exec(KeywordId::Txt2FaxFile, {V(optest::S(k.textFile)), V(optest::S("o.tif")), V(optest::S("res"))}),
              k.result);
    EXPECT_EQ(std::filesystem::exists(dir_ / "o.tif"), k.result == 0);
  }
}

// Big5 text becomes GB text drawn with the traditional glyphs: here the
// traditional font is solid and the simplified one empty.
TEST_F(Txt2Fax, Big5TextIsDrawnFromTheTraditionalFont) {
  ASSERT_EQ(Render("\xA4\x40\n", "big5.fax"), 0);  // Big5 for U+4E00
  ASSERT_EQ(Render("\xD2\xBB\n", "gb.fax"), 0);    // the same character in GB
  EXPECT_NE(ReadBytes(dir_ / "big5.fax"), ReadBytes(dir_ / "gb.fax"));
  WriteBytes(dir_ / "res/hzk16", Bytes(94 * 94 * 32, 0xFF));
  ASSERT_EQ(Render("\xD2\xBB\n", "gbsolid.fax"), 0);
  EXPECT_EQ(ReadBytes(dir_ / "big5.fax"), ReadBytes(dir_ / "gbsolid.fax"));
}

}  // namespace
