// Fuzz target over the server page converter: any bytes give a script that
// starts with the prologue and ends with the return line, at least one HTML
// piece, and pieces that together are no longer than the template.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "services/vsp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view tmpl(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> pieces;
  const std::string script = ConvertVsp(tmpl, &pieces);
  if (pieces.empty()) std::abort();
  if (script.compare(0, 14, "_RawHtml = 0;\n") != 0) std::abort();
  if (script.size() < 11 || script.compare(script.size() - 11, 11, "return(0);\n") != 0) std::abort();
  size_t html = 0;
  for (const std::string& p : pieces) html += p.size();
  if (html > size) std::abort();
  return 0;
}
