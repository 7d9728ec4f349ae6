// The real program with a test double of the line manager, for end-to-end
// tests of what the host does once lines run. RODIZ_FAKE_LINES sets the line
// count (default 4); RODIZ_FAKE_SHOWCASE=1 gives the lines varied states.
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "host/gui/rodizmain.h"
#include "host/operations.h"
#include "core/monitor.h"
#include "platform/text.h"
#include "tests/host/fake_line_manager.h"

int main(int argc, char** argv) {
  const char* n = std::getenv("RODIZ_FAKE_LINES");
  int lines = n && *n ? std::atoi(n) : 4;
  auto rec = testsupport::MakeFakeRecord(lines);
  const char* show = std::getenv("RODIZ_FAKE_SHOWCASE");
  if (show && *show == '1') {
    for (int i = 0; i < lines; ++i)
      rec->Edit(i, [i](testsupport::FakeLine& f) {
        f.script = i % 3 == 2 ? "scripts\\queue.kxs" : "scripts\\hello.kxs";
        f.connected = i % 4 == 1 && i != 5;
        f.elapsed = 37 + 61 * i;
        if (i == 6) f.hasScript = false;
      });
    rec->onRunning = [lines] {
      auto texts = std::make_shared<TagRunTexts>(std::vector<std::string>{
          "PlayFile(\"welcome.wav\"); // greeting", "GetKeys(keys, 4, 8000); // menu choice",
          "if (keys == \"1\") Goto(Sales);", "Record(\"msg.wav\", 60); // voice mail"});
      for (int i = 0; i < lines; ++i) {
        SetRunSource(i, texts);
        if (i != 6) DispRunLine(i % 4, i);
        if (i == 3) DispLineState(i, GBK("已停止"));
        if (i == 5) DispLineState(i, GBK("初始化失败"));
        if (i % 4 == 1) DispKeys(i, "8001#", 1);
        DispInfo(i, 0, i % 2 ? "queue 2" : "idle");
        if (i % 3 == 0) {
          SetDispColor(i, 0, 9);
          DispInfo(i, 1, GBK("客户服务"));
        }
      }
    };
  }
  testsupport::RegisterFakeLines(rec);
  RegisterAllOperations();
  return RodizMain(argc, argv);
}
