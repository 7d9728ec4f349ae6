// libFuzzer entry for the text the software card parses from outside: the
// SimCard.ini reader and the far end's command lines.
// Built and run by scripts/fuzz (the fuzz preset).
#include <stdlib.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>

#include "platform/card/card.h"
#include "platform/card/config.h"
#include "platform/card/farend.h"
#include "tests/support/tempdir.h"

namespace {

plat::SimCard* Card() {
  static std::unique_ptr<plat::SimCard> card = [] {
    static const testsupport::TempDir tmp;
    const std::string& dir = tmp.path();
    std::ofstream(dir + "/SimCard.ini") << "[Card]\nE1Links=1\nAnalogPorts=USER,TRUNK\nFaxChannels=1\nConfGroups=4\n";
    auto c = std::make_unique<plat::SimCard>(dir + "/SimCard.ini");
    c->Start("", "");
    c->IsupStart();
    return c;
  }();
  return card.get();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  plat::card::CardConfig cfg;
  std::string err;
  plat::card::ParseCardConfig(text, &cfg, &err);

  // Commands that name files are left out. Others may still make files
  // under names of their input's choosing: scripts/fuzz runs each target in
  // a scratch folder of its own for that.
  std::string head = text.substr(0, 8);
  for (char& c : head) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (head.rfind("AUDIO", 0) == 0 || head.rfind("FEED", 0) == 0) return 0;
  plat::SimCardFarEnd far(*Card());
  std::string answer = far.Execute(text, [] { return true; });
  if (answer.rfind("OK", 0) != 0 && answer.rfind("ERR", 0) != 0) __builtin_trap();
  return 0;
}
