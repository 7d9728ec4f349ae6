#pragma once
// The driver of the installation's telephony card: E1 time slots with ISUP
// signalling and analog ports, on the software card of platform/card/card.h. It
// opens the card, numbers and names its lines, makes one call object per line
// and owns the process-wide card lock every call into the card takes.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lines/kxcard.h"
#include "platform/card/card.h"

class TagCardBaseCall;

// Card.ini: "CONF" and "FAX" switch the conference and fax resources. Both
// stay as given when the file or the key is missing. Returns the number of
// lines holding "=" (-1 when the file cannot be read).
int ReadCardIni(const std::string& path, bool* conf, bool* fax);

class TagCardDigitDrive : public TagKxCard {
 public:
  // Runs the start sequence; simIni names the software card's shape file.
  explicit TagCardDigitDrive(const std::string& simIni = "SimCard.ini");
  ~TagCardDigitDrive() override;

  int GetLineName(int index, std::string& name) override;
  TagTelLine* MakeLine(int index, int lineNumber) override = 0;
  // Forgets the line's call in the table before the line frees it.
  void FreeLine(TagTelLine* line) override;
  virtual int OpenSignalling() { return 0; }
  virtual void CloseSignalling() {}

  plat::SimCard& Card() { return *card_; }
  // The card lock (re-entrant), for a short fixed sequence of card calls.
  void Lock() { card_->Lock(); }
  void Unlock() { card_->Unlock(); }

  // The call object of a card index; reading past the end first appends
  // empty entries up to it. Null for a negative index.
  TagCardBaseCall* Call(int index);
  void SetCall(int index, TagCardBaseCall* call);

  // Conference resources: 0 or the group count (older interface), the
  // newer interface's start result otherwise.
  int InitConf();
  void CloseConf();
  // Fax pool: the start result; the pool gets one byte per channel.
  int InitFax();
  // A free fax channel linked to the line of a card index (digital channel
  // or analog port), found and linked in one hold of the card lock so that
  // two lines never take the same one: the channel, -1 none free (or fax
  // off), -2 the link failed (nothing is marked then).
  int TakeFax(int cardIndex);
  // Ends the fax channel's transfer, unlinks it and marks it free.
  void ReleaseFax(int fax, int cardIndex);
  void SetFaxId(int fax, const std::string& id);
  int FaxSend(int fax, const std::string& file);  // above 0 when started
  int FaxRecv(int fax, const std::string& file);
  int FaxState(int fax);  // 1 finished, negative failed, other running
  int FaxRecvResult(int fax);
  // total := the pool's size, inUse := channels linked; returns inUse.
  int GetFaxCounts(int& total, int& inUse);

  // Conference groups and switching (cardconf.cpp). A card index outside the
  // card gives -1.
  int AllocConfGroup();
  void FreeConfGroup(int group);
  int AddToConf(int group, int index, bool listen);
  int SubToConf(int group, int index);
  int ConfPlay(int group, const std::string& file);
  bool ConfPlayDone(int handle);
  int ConfStopPlay(int handle);
  int ConfRecord(int group, const std::string& file, int byteLimit, int recPos);
  int ConfStopRecord(int handle);
  void SetMemberGroup(int index, int group, int host);
  int GetMemberGroup(int index);
  int AskHostUnlink(int host, int index, int value);
  // The library's channel type (0 digital, 1 analog) and channel of a card index.
  void ChannelOf(int index, int* type, int* ch) const;

  int faxCount = 0;
  int digitalCount = 0;
  int analogCount = 0;
  uint8_t newConfInterface = 0;
  std::vector<uint8_t> faxPool;
  int confGroupCount = 0;
  // 1 user port (A_IN), 0 trunk port (A_EX), -1 library type 2, -2 other.
  std::vector<int> portTypes;
  int lastConfGroup = 0;
  std::vector<uint8_t> confInUse;
  std::string serialText;
  std::string SerialText() const override { return serialText; }
  bool confOn = true;
  bool faxOn = true;

 protected:
  std::unique_ptr<plat::SimCard> card_;
  std::vector<TagCardBaseCall*> calls_;  // not owned: the lines own their calls
};

class TagCardIsupDrive : public TagCardDigitDrive {
 public:
  explicit TagCardIsupDrive(const std::string& simIni = "SimCard.ini");
  ~TagCardIsupDrive() override;
  TagTelLine* MakeLine(int index, int lineNumber) override;
  int OpenSignalling() override;
  void CloseSignalling() override;
};
