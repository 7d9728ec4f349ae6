#pragma once
#include <array>
#include <map>
#include <string>

// The layout store: "key = value" lines kept in key order, read with every
// blank removed. One instance for FormPos.dat remembers the main window.
class TagMapCfg {
 public:
  explicit TagMapCfg(std::string fileName = "FormPos.dat") : fileName_(std::move(fileName)) {}

  // 0, or -1 when the file is missing. Pairs already held stay unless the file
  // names them again.
  int Load();
  // Number of pairs written, or -1 when the file cannot be created.
  int Save() const;
  // The value's decimal number; -1 when the key is absent.
  int GetInt(const std::string& key) const;
  void SetInt(const std::string& key, int value);
  bool Has(const std::string& key) const { return map_.count(key) != 0; }
  const std::map<std::string, std::string>& Pairs() const { return map_; }
  const std::string& FileName() const { return fileName_; }
  void Clear() { map_.clear(); }

  // One line made ready: blanks and tabs removed, cut at the newline and at a
  // "//" that starts at the line's first "/".
  static std::string CleanLine(const std::string& raw);

 private:
  std::string fileName_;
  std::map<std::string, std::string> map_;
};

// The main window's geometry and the widths of the grid's first eight columns.
struct TagWinLayout {
  static constexpr int kInitX = 131, kInitY = 161, kInitW = 1031, kInitH = 573;
  static constexpr int kMinW = 490, kMinH = 167;
  static constexpr std::array<int, 8> kInitWidths = {124, 108, 56, 76, 204, 83, 57, 62};

  int x = kInitX, y = kInitY, width = kInitW, height = kInitH;
  std::array<int, 8> widths = kInitWidths;
};

// Applies a saved layout: false (and nothing changed) when WinX or WinY is
// absent or negative (a maximised window saves -8).
bool LoadPost(const TagMapCfg& cfg, TagWinLayout* layout);
// Stores the layout under WinX, WinY, WinWidth, WinHeight and GridWid0..7.
void StorePost(TagMapCfg* cfg, const TagWinLayout& layout);
// The layout with no saved position: with two or more groups the window fills
// the screen (sx, sy, sw, sh) and the columns share its width; otherwise the
// layout stays as given. False when nothing was changed.
bool DefaultLayout(int groups, int dispSente, int sx, int sy, int sw, int sh, TagWinLayout* layout);
