#pragma once
// The base of every card driver, and the line record the line manager keeps
// for each line the cards make.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

class TagKxCall;
class TagKxCard;
class TagTelBasic;

// One telephone line: its number, name, script, card, call object and script
// instance. The line owns its call object (freed through its card) and its
// script instance; the instance is shared so that other lines, the display
// tick and the debugger can keep reading one that a reload replaces.
struct TagTelLine {
  TagTelLine(int lineNumber, TagKxCard* lineCard) : number(lineNumber), card(lineCard) {}
  virtual ~TagTelLine() = default;

  int number;
  std::string name;  // at most 83 bytes
  std::string scriptFile;
  TagKxCard* card;
  TagKxCall* call = nullptr;  // owned, freed by the card's FreeLine
  // Published atomically: readers on other threads take their own reference.
  std::shared_ptr<TagTelBasic> Instance() const { return std::atomic_load(&instance_); }
  void SetInstance(std::shared_ptr<TagTelBasic> inst) { std::atomic_store(&instance_, std::move(inst)); }

 private:
  std::shared_ptr<TagTelBasic> instance_;
};

class TagKxCard {
 public:
  virtual ~TagKxCard() = default;
  // The name of the card's line with this card-local index: 0, or -1 when
  // the index is outside the card.
  virtual int GetLineName(int index, std::string& name) = 0;
  // A new line for the card-local index with its call object and name, or
  // nullptr outside 0..telCount-1.
  virtual TagTelLine* MakeLine(int index, int lineNumber) = 0;
  // Deletes the line's call object, then the line.
  virtual void FreeLine(TagTelLine* line);
  // The serial number read when the card was opened; empty without one.
  virtual std::string SerialText() const { return {}; }

  int status = 0;
  int telCount = 0;
};

// The SIP card of this system: it offers no lines.
class TagSipNoneDrive : public TagKxCard {
 public:
  TagSipNoneDrive() { telCount = 0; }
  int GetLineName(int, std::string&) override { return -1; }
  TagTelLine* MakeLine(int, int) override { return nullptr; }
};

// The physical card of the installation (the E1/ISUP card with its analog
// ports). status is negative when it cannot be opened; the manager then runs
// the other cards' lines alone.
std::unique_ptr<TagKxCard> MakePhysicalCard();
