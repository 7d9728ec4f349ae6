#include "lines/kxcard.h"

#include "engine/kxcall.h"

void TagKxCard::FreeLine(TagTelLine* line) {
  if (!line) return;
  delete line->call;
  line->call = nullptr;
  delete line;
}
