#include "platform/card/config.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/path.h"

namespace plat::card {

namespace {

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) b++;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) e--;
  return s.substr(b, e - b);
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool ToLong(const std::string& s, long lo, long hi, long* out) {
  if (s.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long v = strtol(s.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

}  // namespace

bool ParseCardConfig(const std::string& text, CardConfig* cfg, std::string* error) {
  *cfg = CardConfig{};
  std::istringstream in(text);
  std::string line, section;
  int lineNo = 0;
  auto refuse = [&](const std::string& why) {
    if (error) *error = "line " + std::to_string(lineNo) + ": " + why;
    return false;
  };
  while (std::getline(in, line)) {
    lineNo++;
    size_t semi = line.find(';');
    if (semi != std::string::npos) line.resize(semi);
    line = Trim(line);
    if (line.empty()) continue;
    if (line.front() == '[') {
      if (line.back() != ']') return refuse("bad section");
      section = Upper(Trim(line.substr(1, line.size() - 2)));
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos) return refuse("no '='");
    std::string key = Upper(Trim(line.substr(0, eq)));
    std::string value = Trim(line.substr(eq + 1));
    long v = 0;
    if (section == "FAIL") {
      if (!ToLong(value, INT_MIN, INT_MAX, &v)) return refuse("bad number for " + key);
      cfg->fail[key] = static_cast<int>(v);
      continue;
    }
    if (section != "CARD") continue;
    if (key == "E1LINKS") {
      if (!ToLong(value, 0, kMaxE1Links, &v)) return refuse("E1Links out of range");
      cfg->e1Links = static_cast<int>(v);
    } else if (key == "ANALOGPORTS") {
      cfg->portTypes.clear();
      std::istringstream items(value);
      std::string item;
      while (std::getline(items, item, ',')) {
        item = Upper(Trim(item));
        if (item.empty()) continue;
        if (item == "USER" || item == "IN") {
          cfg->portTypes.push_back(kPortUser);
        } else if (item == "TRUNK" || item == "EX") {
          cfg->portTypes.push_back(kPortTrunk);
        } else if (item == "TYPE2") {
          cfg->portTypes.push_back(kPortType2);
        } else if (item == "OTHER") {
          cfg->portTypes.push_back(kPortOther);
        } else {
          return refuse("unknown port type " + item);
        }
      }
      if (static_cast<int>(cfg->portTypes.size()) > kMaxAnalogPorts) return refuse("too many ports");
    } else if (key == "FAXCHANNELS") {
      if (!ToLong(value, 0, kMaxFaxChannels, &v)) return refuse("FaxChannels out of range");
      cfg->faxChannels = static_cast<int>(v);
    } else if (key == "CONFGROUPS") {
      if (!ToLong(value, 0, kMaxConfGroups, &v)) return refuse("ConfGroups out of range");
      cfg->confGroups = static_cast<int>(v);
    } else if (key == "CONFINTERFACE") {
      std::string u = Upper(value);
      if (u == "NEW") {
        cfg->newConfInterface = true;
      } else if (u == "OLD") {
        cfg->newConfInterface = false;
      } else {
        return refuse("ConfInterface is NEW or OLD");
      }
    } else if (key == "SERIAL") {
      if (!ToLong(value, LONG_MIN, LONG_MAX, &v)) return refuse("bad Serial");
      cfg->serial = v;
    } else if (key == "FAXSECONDS") {
      if (!ToLong(value, 0, 3600, &v)) return refuse("FaxSeconds out of range");
      cfg->faxSeconds = static_cast<int>(v);
    } else if (key == "FAXSPEED") {
      if (!ToLong(value, 1, 1000, &v)) return refuse("FaxSpeed out of range");
      cfg->faxSpeed = static_cast<int>(v);
    } else if (key == "CONTROL") {
      std::string u = Upper(value.substr(0, value.find(':') + 1));
      if (!value.empty() && u != "UNIX:" && u != "TCP:") return refuse("Control is unix:PATH or tcp:PORT");
      if (u == "TCP:" && !ToLong(value.substr(4), 1, 65535, &v)) return refuse("bad control port");
      cfg->control = value;
    }
  }
  return true;
}

bool ReadCardConfig(const std::string& path, CardConfig* cfg, std::string* error) {
  std::ifstream f(plat::ResolvePath(path), std::ios::binary);
  if (!f) {
    if (error) *error = "cannot open " + path;
    return false;
  }
  std::stringstream ss;
  ss << f.rdbuf();
  return ParseCardConfig(ss.str(), cfg, error);
}

}  // namespace plat::card
