// Until the card driver lands the physical card cannot be opened, and the
// platform runs its virtual lines alone.
#include "host/log.h"
#include "lines/kxcard.h"

namespace {
class TagNoPhysicalCard : public TagKxCard {
 public:
  TagNoPhysicalCard() {
    status = -1;
    telCount = 0;
  }
  int GetLineName(int, std::string&) override { return -1; }
  TagTelLine* MakeLine(int, int) override { return nullptr; }
};
}  // namespace

std::unique_ptr<TagKxCard> MakePhysicalCard() {
  LogAlways("Physical card: no card driver in this build");
  return std::make_unique<TagNoPhysicalCard>();
}
