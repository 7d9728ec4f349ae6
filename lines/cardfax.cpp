// Faxes on card lines: the driver's fax pool and the one send/receive path
// of digital channels and analog ports.
#include <string>

#include "lines/cardcall.h"
#include "lines/carddrive.h"
#include "lines/carduser.h"
#include "platform/tick.h"

// ------------------------------------------------------------------ driver

int TagCardDigitDrive::TakeFax(int cardIndex) {
  plat::CardLock g(*card_);
  if (faxPool.empty()) return -1;
  int fax = card_->FaxFreeChannel();
  if (fax < 0 || fax >= static_cast<int>(faxPool.size())) return -1;
  int linked = cardIndex < digitalCount ? card_->FaxLinkToTrunk(fax, cardIndex)
                                        : card_->FaxLinkToUser(fax, cardIndex - digitalCount);
  if (linked == 0) return -2;
  faxPool[static_cast<size_t>(fax)] = 1;
  return fax;
}

void TagCardDigitDrive::ReleaseFax(int fax, int cardIndex) {
  plat::CardLock g(*card_);
  card_->FaxStop(fax);
  card_->FaxUnlink(fax, cardIndex < digitalCount ? cardIndex : cardIndex - digitalCount);
  if (fax >= 0 && fax < static_cast<int>(faxPool.size())) faxPool[static_cast<size_t>(fax)] = 0;
}

void TagCardDigitDrive::SetFaxId(int fax, const std::string& id) {
  plat::CardLock g(*card_);
  card_->FaxSetId(fax, id);
}

int TagCardDigitDrive::FaxSend(int fax, const std::string& file) {
  plat::CardLock g(*card_);
  return card_->FaxSend(fax, file);
}

int TagCardDigitDrive::FaxRecv(int fax, const std::string& file) {
  plat::CardLock g(*card_);
  return card_->FaxRecv(fax, file);
}

int TagCardDigitDrive::FaxState(int fax) {
  plat::CardLock g(*card_);
  return card_->FaxState(fax);
}

int TagCardDigitDrive::FaxRecvResult(int fax) {
  plat::CardLock g(*card_);
  return card_->FaxRecvResult(fax);
}

int TagCardDigitDrive::GetFaxCounts(int& total, int& inUse) {
  plat::CardLock g(*card_);
  total = static_cast<int>(faxPool.size());
  inUse = 0;
  for (uint8_t b : faxPool) inUse += b ? 1 : 0;
  return inUse;
}

// ------------------------------------------------------------- call object

void TagCardBaseCall::SetFaxLocalId(const std::string& text) { faxLocalId = text.substr(0, 20); }

void TagCardBaseCall::GetFaxResource(int& total, int& inUse) { drive->GetFaxCounts(total, inUse); }

int TagCardBaseCall::FaxTransfer(const std::string& file, bool send) {
  StopPlay();
  plat::SleepMs(100);
  int fax = drive->TakeFax(CardIndex());
  if (fax < 0) return fax;  // -1 none free, -2 not linked
  faxChannel = fax;
  if (send) drive->SetFaxId(fax, faxLocalId);
  int started = send ? drive->FaxSend(fax, file) : drive->FaxRecv(fax, file);
  if (started <= 0) {
    drive->ReleaseFax(fax, CardIndex());
    faxChannel = -1;
    return -3;
  }
  // A wait interrupted before the first state read gives 0, never the start
  // result, which a script would take for a finished fax.
  int s = 0;
  while (!interrupted) {
    bool up = FaxPoll();
    s = drive->FaxState(fax);
    if (s == 1 || s < 0) break;
    if (!up) {
      Log("IsOnline(): false");
      break;
    }
    plat::SleepMs(120);
  }
  if (!send && s > 0) s = drive->FaxRecvResult(fax);
  drive->ReleaseFax(fax, CardIndex());
  faxChannel = -1;
  return s;
}

bool TagCardDigitCall::FaxPoll() {
  PollCard();
  return PollState() != 0;
}

// An analog port only keeps its loop play going; the wait ends at a final
// state or an interrupt.
bool TagCardUserCall::FaxPoll() {
  RestartFinishedLoop();
  return true;
}
