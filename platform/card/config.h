#pragma once
#include <map>
#include <string>
#include <vector>

// The software card's shape, read from SimCard.ini:
//
//   [Card]
//   E1Links      = 1                    ; 30 time slots each, 0..32
//   AnalogPorts  = USER, USER, TRUNK    ; USER, TRUNK, TYPE2 or OTHER, at most 200
//   FaxChannels  = 2                    ; 0: the card has no fax
//   ConfGroups   = 32                   ; 0: no conference resources, at most 512
//   ConfInterface= NEW                  ; NEW or OLD
//   Serial       = 20261210
//   FaxSeconds   = 2                    ; how long a fax transfer takes
//   FaxSpeed     = 1                    ; with a far-end fax machine: audio
//                                       ; seconds run per second, 1..1000
//   Control      = unix:/tmp/simcard.sock   or tcp:7050 (loopback)
//   [Fail]
//   Start = -3                          ; forced results, by role name
//
// Keys and section names are case-insensitive; ';' starts a comment.
namespace plat::card {

enum PortType { kPortUser = 0, kPortTrunk = 1, kPortType2 = 2, kPortOther = 3 };

struct CardConfig {
  int e1Links = 1;
  std::vector<int> portTypes;
  int faxChannels = 0;
  int confGroups = 0;
  bool newConfInterface = true;
  long serial = 0;
  int faxSeconds = 2;
  int faxSpeed = 1;
  std::string control;  // "", "unix:PATH" or "tcp:PORT"
  // Forced results: role name (upper case) -> result the card gives.
  std::map<std::string, int> fail;
};

constexpr int kMaxE1Links = 32;
constexpr int kMaxAnalogPorts = 200;
constexpr int kMaxConfGroups = 512;
constexpr int kMaxFaxChannels = 64;
constexpr int kSlotsPerLink = 30;

// false when the file cannot be read; *error says which line was refused
// (values out of range are refused rather than clipped).
bool ReadCardConfig(const std::string& path, CardConfig* cfg, std::string* error);
bool ParseCardConfig(const std::string& text, CardConfig* cfg, std::string* error);

}  // namespace plat::card
