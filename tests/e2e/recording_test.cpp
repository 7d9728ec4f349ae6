// Recording from the sound card on a virtual line through the real program:
// the file holds all the device captured, and a line without a capture
// device ends its recording at once with an empty file.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace {

// Records into rec\a.wav on virtual line 0 for at most maxSeconds (0: no
// limit), prints the result and waits (a script that ends runs again).
std::string Script(int maxSeconds) {
  return "r = SetSndDir(\"rec\\\\\", \"\", \"\")\nr = Record(\"a.wav\", " + std::to_string(maxSeconds) +
         ")\nPrint(\"Record \" + r + \"\\n\")\nPrint(\"END\\n\")\nr = Sleep(600)\n";
}

uint32_t Le32At(const std::string& s, size_t at) {
  return static_cast<uint8_t>(s[at]) | static_cast<uint8_t>(s[at + 1]) << 8 | static_cast<uint8_t>(s[at + 2]) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[at + 3])) << 24;
}

// Runs the script with the given environment; the line's printed output.
std::string RunRecording(e2e::Installation& inst, const std::vector<std::string>& env, int maxSeconds) {
  for (const auto& kv : env) inst.AddEnv(kv);
  inst.Write("RoDizRun.cfg", "IS_WRITE_LOG=1\nIS_IMMEDIATE_LOG=1\nLANGUAGE_TYPE=ENGLISH\nVIR_LINES_NUM=1\n0 = r.kxs\n");
  inst.Write("r.kxs", Script(maxSeconds));
  inst.Write("rec/keep.txt", "");
  EXPECT_GT(inst.Start(), 0);
  std::string out;
  EXPECT_TRUE(e2e::WaitFor(
      [&] {
        out = inst.Read("_stdout0.txt");
        return out.find("END\n") != std::string::npos;
      },
      60000))
      << out << inst.LogText() << inst.Read("errmsg0.txt");
  EXPECT_EQ(inst.Stop(), 0);
  return out;
}

TEST(Recording, TheFileHoldsAllTheDeviceCaptured) {
  e2e::Installation inst;
  const std::string out = RunRecording(inst, {"RODIZ_WAVE=fake", "RODIZ_WAVE_FAKE_DIR=" + inst.Path("")}, 1);
  EXPECT_EQ(out, "Record 0\nEND\n");
  // The fake device's log: "in #serial ... bytes=N file=".
  const std::string devLog = inst.Read("wave.log");
  size_t in = devLog.find("in #");
  ASSERT_NE(in, std::string::npos) << devLog;
  size_t at = devLog.find("bytes=", in);
  ASSERT_NE(at, std::string::npos) << devLog;
  const uint64_t captured = std::strtoull(devLog.c_str() + at + 6, nullptr, 10);
  EXPECT_GT(captured, 8000u) << "about a second of 16-bit audio";
  const std::string wav = inst.Read("rec/a.wav");
  ASSERT_GE(wav.size(), 48u);
  EXPECT_EQ(wav.size(), 48 + captured) << "the end of the recording is in the file";
  EXPECT_EQ(Le32At(wav, 44), captured);
  EXPECT_EQ(Le32At(wav, 4), wav.size() - 8);
}

TEST(Recording, WithoutACaptureDeviceTheRecordingEndsAtOnceAndEmpty) {
  e2e::Installation inst;
  // No limit: only the failed start can end the recording.
  const std::string out = RunRecording(inst, {"RODIZ_WAVE=alsa", "RODIZ_WAVE_DEVICE=rodiz_no_such_device"}, 0);
  EXPECT_EQ(out, "Record 0\nEND\n");
  const std::string wav = inst.Read("rec/a.wav");
  ASSERT_EQ(wav.size(), 48u) << "the header alone";
  EXPECT_EQ(wav.substr(0, 4), "RIFF");
  EXPECT_EQ(Le32At(wav, 44), 0u);
  const std::string log = inst.LogText();
  EXPECT_NE(log.find("waveInOpen Err. devId=-1"), std::string::npos) << log;
  EXPECT_EQ(log.find("lcnt=0, lcnt=0"), std::string::npos) << log;
}

}  // namespace
