#include "host/formpos.h"

#include <cstdio>

#include "core/runcfg.h"
#include "platform/path.h"

std::string TagMapCfg::CleanLine(const std::string& raw) {
  std::string s;
  s.reserve(raw.size());
  for (char c : raw) {
    if (c == '\n') break;
    if (c == ' ' || c == '\t' || c == '\r') continue;
    s.push_back(c);
  }
  size_t slash = s.find('/');
  if (slash != std::string::npos && slash + 1 < s.size() && s[slash + 1] == '/') s.resize(slash);
  return s;
}

int TagMapCfg::Load() {
  FILE* f = plat::OpenFile(fileName_, "re");
  if (!f) return -1;
  char buf[512];
  while (std::fgets(buf, sizeof buf, f)) {
    std::string line = CleanLine(buf);
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    map_[line.substr(0, eq)] = line.substr(eq + 1);
  }
  std::fclose(f);
  return 0;
}

int TagMapCfg::Save() const {
  // Written beside and renamed over, so a full disk never leaves half a file.
  std::string target = plat::ResolvePath(fileName_);
  std::string tmp = target + ".tmp";
  FILE* f = std::fopen(tmp.c_str(), "we");
  if (!f) return -1;
  bool ok = true;
  for (auto& [k, v] : map_) ok = ok && std::fprintf(f, "%s = %s\n", k.c_str(), v.c_str()) > 0;
  ok = (std::fclose(f) == 0) && ok;
  if (!ok || std::rename(tmp.c_str(), target.c_str()) != 0) {
    std::remove(tmp.c_str());
    return -1;
  }
  return static_cast<int>(map_.size());
}

int TagMapCfg::GetInt(const std::string& key) const {
  auto it = map_.find(key);
  return it == map_.end() ? -1 : CfgNumber(it->second);
}

void TagMapCfg::SetInt(const std::string& key, int value) { map_[key] = std::to_string(value); }

bool LoadPost(const TagMapCfg& cfg, TagWinLayout* layout) {
  int x = cfg.GetInt("WinX"), y = cfg.GetInt("WinY");
  if (!cfg.Has("WinX") || !cfg.Has("WinY") || x < 0 || y < 0) return false;
  layout->x = x;
  layout->y = y;
  if (int w = cfg.GetInt("WinWidth"); w > 0) layout->width = w;
  if (int h = cfg.GetInt("WinHeight"); h > 0) layout->height = h;
  for (int i = 0; i < 8; ++i)
    if (int w = cfg.GetInt("GridWid" + std::to_string(i)); w > 0) layout->widths[i] = w;
  return true;
}

void StorePost(TagMapCfg* cfg, const TagWinLayout& layout) {
  cfg->SetInt("WinX", layout.x);
  cfg->SetInt("WinY", layout.y);
  cfg->SetInt("WinWidth", layout.width);
  cfg->SetInt("WinHeight", layout.height);
  for (int i = 0; i < 8; ++i) cfg->SetInt("GridWid" + std::to_string(i), layout.widths[i]);
}

bool DefaultLayout(int groups, int dispSente, int sx, int sy, int sw, int sh, TagWinLayout* layout) {
  if (groups < 2) return false;
  layout->x = sx;
  layout->y = sy;
  layout->width = sw;
  layout->height = sh;
  int w = sw / groups;
  layout->widths[0] = 16;
  layout->widths[1] = 10;
  layout->widths[2] = 10;
  layout->widths[3] = 10;
  layout->widths[4] = dispSente != 0 ? 20 : 1;
  int user = dispSente != 0 ? (w - 54 - 20) / 3 : (w - 54) / 3;
  if (user < 0) user = 10;
  for (int i = 5; i < 8; ++i) layout->widths[i] = user;
  return true;
}
