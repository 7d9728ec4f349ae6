#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// ISUP message bytes as the card's signalling library passes them: the
// message type first, then the mandatory and optional parts (Q.763 layout).
// Every reader here is bounded by the length it is given: a message comes
// from the network and its own length bytes are not trusted.
namespace plat::card {

constexpr uint8_t kIsupIam = 0x01;
constexpr uint8_t kIsupAcm = 0x06;
constexpr uint8_t kIsupAnm = 0x09;
constexpr uint8_t kIsupRel = 0x0C;
constexpr uint8_t kIsupCpg = 0x2C;

// Numbers the system keeps are at most this many digits.
constexpr size_t kMaxNumberDigits = 19;

// Decodes `bytes` BCD bytes (first digit in the low half) with the odd
// indicator: 2*bytes - odd digits; half 15 ends the text, 10..14 give '.'.
// The result is cut at kMaxNumberDigits.
std::string BcdDecode(const uint8_t* p, size_t bytes, bool odd);
// Packs the digits of `digits` two by two (low half first); an odd count
// leaves the last high half 0. Non-digits are skipped, '.' packs as 10.
std::vector<uint8_t> BcdEncode(const std::string& digits);

// The numbers of an IAM.
struct IamInfo {
  std::string caller;
  std::string called;
  std::string redirecting;
  std::string firstCalled;
  int redirCase = 0;
};

// 0 decoded, -1 too short, -2 not an IAM. Optional parameters: a length of
// 0 or above 20 ends them; code 0 ends them; every read stays below n.
int DecodeIam(const uint8_t* msg, size_t n, IamInfo* out);

// Builds an IAM for an incoming call as the far end would send it. Empty
// caller: no calling party number. redirCase > 0 adds redirection
// information; a non-empty original called number adds that parameter.
std::vector<uint8_t> BuildIam(const std::string& caller, const std::string& called,
                              const std::string& firstCalled = "", int redirCase = 0,
                              const std::string& redirecting = "");

// What a line learns from an ACM of its outgoing call.
struct AcmInfo {
  uint8_t bci1 = 0, bci2 = 0;
  int calledStatus = -1;   // (octet 1 >> 2) & 3, or 4 "mobile idle"
  int redirCase = 0;
  std::string redirection;
  bool mobileIdle = false;
};
// 0 decoded, -1 too short (fewer than 3 bytes), -2 not an ACM.
int DecodeAcm(const uint8_t* msg, size_t n, bool mobile, AcmInfo* out);

// The ACM a line sends for an incoming call: charge or no charge, and for a
// redirected call the diversion information and the called number as
// redirection number.
std::vector<uint8_t> BuildAcm(bool charge, int redirCase, const std::string& called);

// An ACM as the far end sends it for an outgoing call: the two backward
// call indicators and, with redirCase > 0, diversion and redirection number.
std::vector<uint8_t> BuildFarAcm(uint8_t bci1, uint8_t bci2, int redirCase,
                                 const std::string& redirection);

// The FSK caller identification message (single data message, type 0x04):
// 0x04, L, the text "%02d%02d%02d%02d%s" (month, day, hour, minute, number),
// and the checksum that makes the byte sum 0 modulo 256. The length byte is
// one byte, so the number is cut to kMaxFskDigits.
constexpr size_t kMaxFskDigits = 20;
std::vector<uint8_t> BuildFskCallerId(int month, int day, int hour, int minute,
                                      const std::string& number);

// "01 0A FF" style hex (upper case, blank separated) and back; Parse
// accepts blanks, commas, colons and an optional "0x" per byte, false on
// anything else or more than max bytes.
std::string ToHex(const uint8_t* p, size_t n);
inline std::string ToHex(const std::vector<uint8_t>& v) { return ToHex(v.data(), v.size()); }
bool ParseHex(const std::string& text, std::vector<uint8_t>* out, size_t max = 4096);

}  // namespace plat::card
