// Card switching and conferences: the driver's group table and library
// calls, each line's conference state, and the call objects' link operations.
#include <algorithm>
#include <cmath>

#include "core/log.h"
#include "lines/confline.h"
#include "lines/cardcall.h"
#include "lines/carddrive.h"
#include "platform/card/card.h"
#include "platform/format.h"
#include "platform/tick.h"

using plat::Format;

namespace {

constexpr int kGroupsPerBlock = 16;

// The join gain as the library takes it: a signed byte, clamped rather than
// wrapped so a very low volume stays quiet.
int GainByte(double g) { return std::clamp(static_cast<int>(std::trunc(g)), -128, 127); }

}  // namespace

// ---------------------------------------------------------------- driver

void TagCardDigitDrive::ChannelOf(int index, int* type, int* ch) const {
  if (index < digitalCount) {
    *type = 0;
    *ch = index;
  } else {
    *type = 1;
    *ch = index - digitalCount;
  }
}

int ConfGainFor(int volume, int lineType, bool newer) {
  if (!newer) return GainByte(volume > 100 ? (volume % 100) * 1.27 : (100 - volume) * -1.27);
  double g = volume > 100 ? (volume % 100) * 0.22 : (100 - volume) * -0.22;
  g -= 6;
  if (lineType == kLineDig) g -= 2;
  if (lineType == kLineAEx) g += 5;
  if (lineType == kLineAIn) g -= 10;
  return GainByte(g);
}

int TagCardDigitDrive::AllocConfGroup() {
  plat::CardLock g(*card_);
  int count = std::min(confGroupCount, static_cast<int>(confInUse.size()));
  if (count <= 0) return -1;
  auto take = [&](int gno) {
    confInUse[static_cast<size_t>(gno)] = 1;
    lastConfGroup = gno;
    return gno;
  };
  if (newConfInterface) {
    for (int gno = lastConfGroup + 1; gno < count; ++gno)
      if (!confInUse[static_cast<size_t>(gno)]) return take(gno);
    for (int gno = 0; gno < count; ++gno)
      if (!confInUse[static_cast<size_t>(gno)]) return take(gno);
    return -1;
  }
  int blocks = count / kGroupsPerBlock;
  std::vector<int> counts(static_cast<size_t>(std::max(blocks, 2)), 0);
  int best = 0, bestCount = 0;
  for (int b = 0; b < blocks; ++b) {
    counts[static_cast<size_t>(b)] = card_->ConfBlockCount(static_cast<uint16_t>(b));
    if (counts[static_cast<size_t>(b)] > bestCount) {
      bestCount = counts[static_cast<size_t>(b)];
      best = b;
    }
  }
  auto search = [&](int from, int to) -> int {
    for (int b = from; b < to; ++b) {
      if (counts[static_cast<size_t>(b)] <= 1) continue;
      for (int gno = b * kGroupsPerBlock; gno < b * kGroupsPerBlock + kGroupsPerBlock && gno < count; ++gno)
        if (!confInUse[static_cast<size_t>(gno)]) return gno;
    }
    return -1;
  };
  int gno = search(best, blocks);
  if (gno < 0) gno = search(0, best);
  LogF("curConfId=%d, res0=%d, res1=%d", gno, counts[0], counts[1]);
  return gno < 0 ? -1 : take(gno);
}

void TagCardDigitDrive::FreeConfGroup(int group) {
  plat::CardLock g(*card_);
  if (group < 0 || group >= confGroupCount || group >= static_cast<int>(confInUse.size())) return;
  if (newConfInterface) {
    int r = card_->ConfFreeGroupNew(group);
    int res = card_->ConfLastResult();
    LogF("CardConf_FreeConfGroup(%d)=%d, res=%d", group, r, res);
  } else {
    card_->ConfFreeGroupOld(static_cast<uint16_t>(group));
  }
  confInUse[static_cast<size_t>(group)] = 0;
}

int TagCardDigitDrive::AddToConf(int group, int index, bool listen) {
  if (index < 0 || index >= telCount) return -1;
  plat::CardLock g(*card_);
  TagCardBaseCall* joiner = Call(index);
  int volume = joiner ? joiner->volume[2] : 100;
  int lineType = joiner ? static_cast<int>(joiner->lineType.load()) : static_cast<int>(kLineVir);
  int type = 0, ch = 0;
  ChannelOf(index, &type, &ch);
  int gain = ConfGainFor(volume, lineType, newConfInterface != 0);
  int r = 0;
  std::string text;
  if (newConfInterface) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (listen) {
        r = card_->ConfJoin(group, type, ch, 1, 0, 0, 1);
      } else {
        r = card_->ConfJoin(group, type, ch, 2, gain, 100, 1);
        if (r >= 0 && r % 2 == 0) card_->ConfTalkSetup(type, ch, 0);
      }
      int res = card_->ConfLastResult();
      text = Format("CardConf_JoinConfGroup(id=%d, type=%d, chn=%d, isListen=%d, vol=%d): %d, res=%d", group, type, ch,
                    listen ? 1 : 0, gain, r, res);
      if (r != -5) break;
      // Still in some group: take it out and try once more.
      card_->ConfExit(type, ch, 1);
    }
  } else {
    r = card_->ConfEnter(static_cast<uint16_t>(group), listen ? 1 : 0, type, ch, gain, 0);
    text = Format("CardConf_EnterConf(%d, %d, %d, %d, %d): %d", group, listen ? 1 : 0, type, ch, gain, r);
  }
  if (r < 0) {
    LogAlways(text);
    return r;
  }
  Log(text);
  return 0;
}

int TagCardDigitDrive::SubToConf(int group, int index) {
  if (index < 0 || index >= telCount) return -1;
  plat::CardLock g(*card_);
  int type = 0, ch = 0;
  ChannelOf(index, &type, &ch);
  int id = newConfInterface ? card_->ConfGroupOfNew(type, ch) : card_->ConfGroupOfOld(type, ch);
  int in = newConfInterface ? (id & 0xFFFF) : id;
  if (id < 0 || in != group) {
    LogAlways(Format("Err: SubToConf(type=%d, ch=%d): ret=%d, id=%d, group=%d", type, ch, id, in, group));
    return id < 0 ? id : -1;
  }
  int r;
  std::string text;
  if (newConfInterface) {
    r = card_->ConfExit(type, ch, 0);
    int res = card_->ConfLastResult();
    text = Format("CardConf_ExitConfGroup(type=%d, ch=%d): %d, res=%d", type, ch, r, res);
  } else {
    r = card_->ConfLeave(type, ch);
    text = Format("CardConf_LeaveConf(type=%d, ch=%d): %d", type, ch, r);
  }
  if (r < 0)
    LogAlways(text);
  else
    Log(text);
  return r;
}

int TagCardDigitDrive::ConfPlay(int group, const std::string& file) {
  plat::CardLock g(*card_);
  int r = card_->ConfPlayFile(static_cast<uint16_t>(group), file, 0, -1);
  LogF("'%s', id=%d, ret=%d", file.c_str(), group, r);
  return r;
}

bool TagCardDigitDrive::ConfPlayDone(int handle) { return card_->VoiceFinished(handle) != 0; }
int TagCardDigitDrive::ConfStopPlay(int handle) { return card_->ConfStopPlay(handle); }

int TagCardDigitDrive::ConfRecord(int group, const std::string& file, int byteLimit, int recPos) {
  return card_->ConfRecordFile(static_cast<uint16_t>(group), file, recPos, byteLimit);
}

int TagCardDigitDrive::ConfStopRecord(int handle) { return card_->ConfStopRecord(handle); }

void TagCardDigitDrive::SetMemberGroup(int index, int group, int host) {
  plat::CardLock g(*card_);
  TagCardBaseCall* c = index >= 0 && index < telCount ? Call(index) : nullptr;
  if (!c) return;
  c->conf->group = group;
  c->conf->host = host;
}

int TagCardDigitDrive::GetMemberGroup(int index) {
  plat::CardLock g(*card_);
  TagCardBaseCall* c = index >= 0 && index < telCount ? Call(index) : nullptr;
  return c ? c->conf->group : -1;
}

int TagCardDigitDrive::AskHostUnlink(int host, int index, int value) {
  if (host < 0 || host >= telCount || index < 0 || index >= digitalCount) return -2;
  plat::CardLock g(*card_);
  TagCardBaseCall* c = Call(host);
  return c ? c->UnlinkTo(index, value) : -2;
}

// ---------------------------------------------------------------- line

int TagConfLine::Line() const { return call->CardIndex(); }

int TagConfLine::OpenGroup() {
  plat::CardLock g(drive->Card());
  if (group >= 0) return group;
  int gno = drive->AllocConfGroup();
  if (gno < 0) return -1;
  int r = drive->AddToConf(gno, Line(), false);
  if (r < 0) {
    call->LogAlways(Format("AddChnl to self, id=%d, ret=%d", gno, r));
    drive->FreeConfGroup(gno);
    group = -1;
    return -2;
  }
  group = gno;
  ownsGroup = true;
  members.assign(1, ConfMember{Line(), 0, 1});
  return gno;
}

int TagConfLine::LinkTo(int other, int value, bool listen) {
  plat::SimCard& card = drive->Card();
  const int self = Line();
  if (drive->confGroupCount > 0) {
    int otherGroup = drive->GetMemberGroup(other);
    if (otherGroup >= 0) call->Log(Format("AddToConf(%d) Failed, %d in confId %d", group, other, otherGroup));
    plat::CardLock g(card);
    if (group < 0) {
      LogF("[%d] : Begin : confId<0", self);
      OpenGroup();
    }
    LogF("[%d] : confId=%d", self, group);
    if (group < 0) return -2;
    for (const ConfMember& m : members) {
      if (m.line == other) {
        call->LogAlways(Format("dest in conf, dest=%d", other));
        return other;
      }
    }
    int r = drive->AddToConf(group, other, listen);
    if (r < 0) {
      call->LogAlways(Format("pDrive->AddToConf(confId=%d, dest=%d), ret=%d", group, other, r));
      return r;  // the negative result, so the digital retry runs
    }
    members.push_back(ConfMember{other, static_cast<uint8_t>(listen ? 1 : 0), value});
    drive->SetMemberGroup(other, group, self);
    return 0;
  }
  plat::CardLock g(card);
  if (members.size() >= 2) return -2;
  int type = 0, ch = 0, otype = 0, och = 0;
  drive->ChannelOf(self, &type, &ch);
  drive->ChannelOf(other, &otype, &och);
  int r = 0;
  std::string text;
  if (type == 0 && otype == 0) {
    r = card.LinkTrunkAndTrunk(ch, och);
    text = Format("CardExg_SetLinkTrunkAndTrunk(%d, %d): %d", ch, och, r);
  } else if (type == 0) {
    r = card.LinkTrunkAndUser(ch, och);
    text = Format("CardExg_SetLinkTrunkAndUser(%d, %d): %d", ch, och, r);
  } else if (otype == 0) {
    r = 0;
    text = Format("LinkTo Err: User to Trunk (%d, %d).", ch, och);
  } else {
    r = card.LinkUserAndUser(ch, och);
    text = Format("CardExg_LinkUserAndUser(%d, %d): %d", ch, och, r);
  }
  call->Log(text);
  if (r == 0) return -1;
  members.push_back(ConfMember{other, 0, value});
  members.push_back(ConfMember{self, 0, 1});
  return 0;
}

int TagConfLine::UnlinkTo(int other) {
  if (other < 0) return -1;
  plat::SimCard& card = drive->Card();
  const int self = Line();
  plat::CardLock g(card);
  if (drive->confGroupCount <= 0) {
    if (members.size() <= 1) return -2;
    int type = 0, ch = 0, otype = 0, och = 0;
    drive->ChannelOf(self, &type, &ch);
    drive->ChannelOf(other, &otype, &och);
    int r;
    std::string text;
    if (type == 0 && otype == 0) {
      r = card.ClearLinkTrunkAndTrunk(ch);
      text = Format("CardExg_ClearLinkTrunkAndTrunk(%d, d=%d): ret=%d", ch, och, r);
    } else if (type == 0) {
      r = card.ClearLinkTrunkAndUserByTrunk(ch);
      text = Format("CardExg_ClearLinkTrunkAndUserByTrunk(%d) dest=%d: ret=%d", ch, och, r);
    } else {
      r = card.ClearLinkUserAndUser(ch);
      text = Format("CardExg_ClearLinkUserAndUser(%d): %d", ch, r);
    }
    call->Log(text);
    members.clear();
    return r != 0 ? 0 : -1;
  }
  auto it = std::find_if(members.begin(), members.end(), [&](const ConfMember& m) { return m.line == other; });
  if (group < 0 || it == members.end()) return -2;
  members.erase(it);
  int r = drive->SubToConf(group, other);
  if (r != 0) call->LogAlways(Format("SubChnl(%d, %d), ret=%d", group, other, r));
  if (other != self) drive->SetMemberGroup(other, -1, -1);
  if (!ownsGroup) {
    // A group of another line: it stays with its host.
    if (members.empty() && host < 0) group = -1;
    return r;
  }
  if (members.empty())
    CloseGroup(false);
  else if (members.size() == 1 && members[0].line == self)
    CloseGroup(true);
  return r;
}

void TagConfLine::CloseGroup(bool leaveSelf) {
  plat::CardLock g(drive->Card());
  if (group < 0) return;
  call->StopPlay();
  if (leaveSelf) drive->SubToConf(group, Line());
  if (ownsGroup) drive->FreeConfGroup(group);
  members.clear();
  group = -1;
  ownsGroup = false;
}

int TagConfLine::FreeAll() {
  LogF("[%d] : FreeAll()", Line());
  std::vector<ConfMember> copy;
  {
    plat::CardLock g(drive->Card());
    copy = members;
  }
  for (const ConfMember& m : copy) UnlinkTo(m.line);
  plat::CardLock g(drive->Card());
  if (host >= 0) drive->AskHostUnlink(host, Line(), 0);
  return 0;
}

int TagConfLine::GetLinkList(std::vector<int>& lines, std::vector<int>& listen, std::vector<int>& values) {
  plat::CardLock g(drive->Card());
  lines.clear();
  listen.clear();
  values.clear();
  for (const ConfMember& m : members) {
    lines.push_back(m.line);
    listen.push_back(m.listen);
    values.push_back(m.value);
  }
  return group;
}

// ---------------------------------------------------------------- calls

int TagCardBaseCall::LinkTo(int line, int value) {
  const bool digital = IsDigitalLine();
  const std::string tag = Format("[%d] : ", LinkTag());
  if (!digital) ::Log(tag + Format("LinkTo(%d, %d)", line, value));
  if (line < 0 || line >= drive->telCount) return -1;
  TagCardBaseCall* other = drive->Call(line);
  if (digital) {
    bool inGroup;
    {
      plat::CardLock g(drive->Card());
      inGroup = conf->group >= 0;
    }
    if (!inGroup) {
      StopPlay();
      plat::SleepMs(50);
    }
    bool otherBusy = false;
    if (other) {
      plat::CardLock g(drive->Card());
      otherBusy = other->chPlayActive || other->chRecActive;
    }
    if (otherBusy) {
      other->StopPlay();
      plat::SleepMs(360);
    }
  } else {
    if (other) other->StopPlay();
    plat::SleepMs(150);
  }
  int r = conf->LinkTo(line, value, false);
  if (digital && r < 0) {
    plat::SleepMs(200);
    r = conf->LinkTo(line, value, false);
  }
  if (digital) ::Log(tag + Format("LinkTo(%d, %d): %d", line, value, r));
  return r;
}

int TagCardBaseCall::UnlinkTo(int line, int value) {
  ::Log(Format("[%d] : UnlinkTo(%d, %d)", LinkTag(), line, value));
  if (line < 0) return -1;
  if (!IsDigitalLine() && line >= drive->telCount) return -1;
  return conf->UnlinkTo(line);
}

int TagCardBaseCall::UnlinkAll() {
  ::Log(Format("[%d] : UnlinkAll()", LinkTag()));
  conf->FreeAll();
  return 0;
}

int TagCardBaseCall::ListenTo(int line, int value) {
  ::Log(Format("[%d] : ListenTo(%d, %d)", LinkTag(), line, value));
  if (line < 0 || line >= drive->telCount || line == CardIndex()) return -1;
  if (IsDigitalLine() && drive->confGroupCount <= 0) return -2;
  return conf->LinkTo(line, value, true);
}

int TagCardBaseCall::GetLinkList(std::vector<int>& lines, std::vector<int>& listen, std::vector<int>& values) {
  return conf->GetLinkList(lines, listen, values);
}

bool TagCardBaseCall::IsDigitalLine() const { return CardIndex() < drive->digitalCount; }

int TagCardBaseCall::GroupPlay(const std::string& path) {
  int h = drive->ConfPlay(conf->group, path);
  if (h < 0) {
    Log(Format("ConfPlay(%d, %s) Error : %d", conf->group, path.c_str(), h));
    return -1;
  }
  confPlayHandle = h;
  return 0;
}

int TagCardBaseCall::GroupRecord(const std::string& path, int maxBytes) {
  int h = drive->ConfRecord(conf->group, path, maxBytes, recPos);
  if (h < 0) {
    Log(Format("ConfRecord(%d, %s) Error : %d", conf->group, path.c_str(), h));
    return -1;
  }
  confRecordHandle = h;
  return 0;
}

int TagCardBaseCall::ConfGroup() {
  plat::CardLock g(drive->Card());
  return conf->group;
}
