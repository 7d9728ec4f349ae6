// libFuzzer entry for the ISUP message decoders of the software card.
// Built and run by scripts/fuzz (the fuzz preset).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/card/isupmsg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Copy to a buffer of exactly this size so any read past it is caught.
  std::vector<uint8_t> m(data, data + size);
  plat::card::IamInfo iam;
  plat::card::DecodeIam(m.data(), m.size(), &iam);
  plat::card::AcmInfo acm;
  plat::card::DecodeAcm(m.data(), m.size(), size % 2 == 1, &acm);
  if (iam.called.size() > plat::card::kMaxNumberDigits || acm.redirection.size() > plat::card::kMaxNumberDigits)
    __builtin_trap();
  return 0;
}
