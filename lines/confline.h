#pragma once
// How a card line is connected to other card lines: through a conference
// group of the card when it has conference resources (the first link opens
// a group with the line itself talking, later links add talking or listening
// members), else through two-party switching with one partner.
//
// Member lists change only under the card lock: another line's thread
// unlinks a member through its host while holding it. Only the line whose
// open allocated a group frees it; a line that was added to another line's
// group and links lines of its own only empties its own list.
#include <cstdint>
#include <vector>

class TagCardBaseCall;
class TagCardDigitDrive;

// The gain a line joins a group with, from its type-2 volume and line type,
// for the newer or the older conference interface.
int ConfGainFor(int volume, int lineType, bool newer);

struct ConfMember {
  int line = -1;
  uint8_t listen = 0;  // 1 listening member, 0 talking
  int value = 0;       // the value given to the link; 1 for the line itself
};

class TagConfLine {
 public:
  TagConfLine(TagCardBaseCall* owner, TagCardDigitDrive* d) : call(owner), drive(d) {}

  // The group, opened when not set yet; -1 when none can be had, -2 when
  // the line could not join its new group.
  int OpenGroup();
  // 0 linked, the other line's number when it is a member already, else negative.
  int LinkTo(int other, int value, bool listen);
  int UnlinkTo(int other);
  void CloseGroup(bool leaveSelf);
  int FreeAll();
  // The group, -1 when none; the lists in member order.
  int GetLinkList(std::vector<int>& lines, std::vector<int>& listen, std::vector<int>& values);

  int Line() const;

  TagCardBaseCall* const call;
  TagCardDigitDrive* const drive;
  int group = -1;  // the group the line is in, its own or another line's
  int host = -1;   // the line that added this line to its group
  bool ownsGroup = false;  // this line's open allocated the group
  std::vector<ConfMember> members;
};
