#pragma once
// A card of one E1 (30 channels) and four analog ports (two user, two trunk)
// in a temporary installation folder, its driver, its far end, and the log
// written to a file the tests read.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/log.h"
#include "core/runcfg.h"
#include "lines/carddrive.h"
#include "lines/cardisup.h"
#include "lines/carduser.h"
#include "lines/vocfile.h"
#include "platform/card/card.h"
#include "platform/card/farend.h"
#include "platform/tick.h"
#include "tests/platform/card_test_util.h"
#include "tests/support/tempdir.h"
#include "tests/support/waitfor.h"

namespace cardtest {

// An A-law WAVE file of ms milliseconds whose samples count up.
inline std::string AlawWave(uint32_t ms) {
  uint32_t n = ms * 8;
  std::vector<uint8_t> h = MakeWaveHeader(18, 6, n);
  std::string s(h.begin(), h.end());
  for (uint32_t i = 0; i < n; ++i) s.push_back(static_cast<char>(0xD5 ^ (i & 0x0F)));
  return s;
}

// Polls cond until true or the generous time-out passes.
using testsupport::WaitFor;

class CardFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    cwd_ = std::make_unique<testsupport::ScopedCwd>(dir_.path());
    testsupport::WriteFile(dir_ / "SimCard.ini", kStandardIni);
    savedLevel_ = logLevel.load();
    logLevel = 1;
    SetLogWriter(std::make_shared<TagWriteLog>(dir_ / "log.txt", 100000000, true, true));
  }
  void TearDown() override {
    Close();
    SetLogWriter(nullptr);
    logLevel = savedLevel_;
    cwd_.reset();
  }

  void Open() {
    drive_ = std::make_unique<TagCardIsupDrive>(dir_ / "SimCard.ini");
    far_ = std::make_unique<plat::SimCardFarEnd>(drive_->Card());
  }
  void Close() {
    for (TagTelLine* l : lines_)
      if (l->call) l->call->interrupted = 1;
    for (TagTelLine* l : lines_) drive_->FreeLine(l);
    lines_.clear();
    far_.reset();
    drive_.reset();
  }
  TagKxCall* Line(int index) {
    TagTelLine* l = drive_->MakeLine(index, index);
    if (!l) return nullptr;
    lines_.push_back(l);
    return l->call;
  }
  TagCardIsupCall* Digital(int ch) { return dynamic_cast<TagCardIsupCall*>(Line(ch)); }
  TagCardUserCall* Analog(int index) { return dynamic_cast<TagCardUserCall*>(Line(index)); }

  // An incoming call answered by the line.
  void Connect(TagCardIsupCall* c, const std::string& caller = "6789", const std::string& called = "12345") {
    ASSERT_TRUE(far_->IncomingCall(c->channel, caller, called)) << far_->Error();
    ASSERT_EQ(c->WaitRing(1), 0);
    ASSERT_EQ(c->callState.load(), kCallConnected);
  }

  std::string LogText() { return testsupport::ReadFile(dir_ / "log.txt"); }
  bool Logged(const std::string& text) { return LogText().find(text) != std::string::npos; }

  testsupport::TempDir dir_;
  std::unique_ptr<testsupport::ScopedCwd> cwd_;
  std::unique_ptr<TagCardIsupDrive> drive_;
  std::unique_ptr<plat::SimCardFarEnd> far_;
  std::vector<TagTelLine*> lines_;
  int savedLevel_ = 0;
};

}  // namespace cardtest
