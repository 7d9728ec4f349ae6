// The named conference room registry and the call object's room operations.
#include "engine/confrooms.h"

#include <atomic>

#include "engine/kxcall.h"
#include "platform/format.h"
#include "platform/tick.h"

using plat::Format;

namespace {
std::atomic<TagNameConfCtrl*> g_rooms{nullptr};
}  // namespace

TagNameConfCtrl& ConfRooms() {
  static TagNameConfCtrl fallback;
  TagNameConfCtrl* r = g_rooms.load();
  return r ? *r : fallback;
}

void SetConfRooms(TagNameConfCtrl* rooms) { g_rooms.store(rooms); }

// ---------------------------------------------------------------- registry

int TagNameConfCtrl::FindRoom(const std::string& name, int32_t* isSipConf, int32_t* session) {
  auto it = rooms_.find(name);
  if (it == rooms_.end()) {
    *session = 0;
    return 0;
  }
  *isSipConf = it->second->isSipConf;
  *session = it->second->session;
  return 1;
}

TagMeetRoom* TagNameConfCtrl::GetRoom(const std::string& name) {
  auto it = rooms_.find(name);
  return it == rooms_.end() ? nullptr : it->second.get();
}

int32_t TagNameConfCtrl::AddRoom(const std::string& name, int32_t session, int32_t isSipConf) {
  auto& slot = rooms_[name];
  if (slot) return slot->session;
  slot = std::make_unique<TagMeetRoom>();
  slot->name = name;
  slot->session = session;
  slot->isSipConf = isSipConf;
  return session;
}

int TagNameConfCtrl::AddMember(const std::string& name, int line, int32_t isListen, int32_t channel, int* count,
                               int32_t* session) {
  TagMeetRoom* room = GetRoom(name);
  if (!room) {
    *count = 0;
    *session = 0;
    return -1;
  }
  room->members[line] = TagMeetCh{channel, isListen, 0, 0};
  *count = static_cast<int>(room->members.size());
  *session = room->session;
  return 1;
}

TagMeetCh* TagNameConfCtrl::FindMember(const std::string& name, int line) {
  TagMeetRoom* room = GetRoom(name);
  if (!room) return nullptr;
  auto it = room->members.find(line);
  return it == room->members.end() ? nullptr : &it->second;
}

int TagNameConfCtrl::CloseRoom(const std::string& name) { return rooms_.erase(name) ? 1 : 0; }

int TagNameConfCtrl::RemoveMember(int line, int* isClosed, int32_t* isSipConf, int32_t* rec, int32_t* play,
                                  int32_t* memberRec, int32_t* session) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  *isClosed = 0;
  *session = 0;
  for (auto it = rooms_.begin(); it != rooms_.end(); ++it) {
    TagMeetRoom& room = *it->second;
    auto m = room.members.find(line);
    if (m == room.members.end()) continue;
    *session = room.session;
    *isSipConf = room.isSipConf;
    *rec = room.recHandle;
    *play = room.playHandle;
    *memberRec = m->second.recHandle;
    room.members.erase(m);
    if (room.members.empty()) {
      *isClosed = 1;
      rooms_.erase(it);
    }
    break;
  }
  return 1;
}

int TagNameConfCtrl::GetMembers(const std::string& name, std::map<int, int>* members) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  TagMeetRoom* room = GetRoom(name);
  if (!room) return 0;
  if (members)
    for (auto& [line, m] : room->members) (*members)[line] = m.isListen;
  return static_cast<int>(room->members.size());
}

int TagNameConfCtrl::FindConfOfLine(int line, int32_t* isListen, std::string* name, int32_t* session) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  for (auto& [n, room] : rooms_) {
    auto m = room->members.find(line);
    if (m == room->members.end()) continue;
    *isListen = m->second.isListen;
    *name = n;
    *session = room->session;
    return 1;
  }
  *session = 0;
  return 0;
}

size_t TagNameConfCtrl::RoomCount() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return rooms_.size();
}

// ---------------------------------------------------------------- call object

int TagKxCall::JoinNameConf(const std::string& room, int isListen) {
  TagNameConfCtrl& reg = ConfRooms();
  std::lock_guard<std::recursive_mutex> g(reg.Mutex());
  int32_t isSipConf = 1, session = 0;
  bool created = false;
  if (!reg.FindRoom(room, &isSipConf, &session)) {
    int r = CreateConfRoom(isSipConf, session);
    Log(Format("CreateConfRoom(isSipConf=%d): ret=%d, sess=%d", isSipConf, r, session));
    if (r < 0) return -2;
    reg.AddRoom(room, session, isSipConf);
    created = true;
  }
  int r = JoinConfRoom(session, isSipConf, isListen);
  Log(Format("JoinConfRoom(sess=%d, isSipConf=%d, isListen=%d): %d", session, isSipConf, isListen, r));
  if (r < 0) {
    if (created) {
      CloseConfRoom(session, isSipConf);
      reg.CloseRoom(room);
    }
    return -3;
  }
  int count = 0;
  reg.AddMember(room, lineNo, isListen, mediaChannel, &count, &session);
  return count;
}

int TagKxCall::ExitNameConf() {
  int isClosed = 0;
  int32_t isSipConf = 0, rec = 0, play = 0, memberRec = 0, session = 0;
  ConfRooms().RemoveMember(lineNo, &isClosed, &isSipConf, &rec, &play, &memberRec, &session);
  if (session == 0) return 0;
  if (memberRec) StopConfChRecord(memberRec);
  LeaveConfRoom(session, isSipConf);
  if (isClosed) {
    if (rec) StopConfRecord(session, isSipConf, rec);
    if (play) StopConfPlay(session, isSipConf, play);
    CloseConfRoom(session, isSipConf);
    isLastExitConf = 1;
  }
  Log(Format("ExitNameConf (session=%d, isSipConf=%d, isClosed=%d, rec=%d, play=%d)", session, isSipConf, isClosed,
             rec, play));
  return session;
}

int TagKxCall::GetConfMembers(const std::string& room, std::map<int, int>* members) {
  return ConfRooms().GetMembers(room, members);
}

int TagKxCall::FindConfOfLine(int line, int32_t* isListen, std::string* room, int32_t* session) {
  return ConfRooms().FindConfOfLine(line, isListen, room, session);
}

int TagKxCall::RecNameConf(const std::string& room, const std::string& file) {
  TagNameConfCtrl& reg = ConfRooms();
  std::lock_guard<std::recursive_mutex> g(reg.Mutex());
  TagMeetRoom* meet = reg.GetRoom(room);
  if (!meet) return -1;
  if (meet->recHandle) return -2;
  int handle = 0;
  int r = StartConfRecord(meet->session, meet->isSipConf, file, handle);
  if (r < 0 || handle == 0) return -3;
  meet->recHandle = handle;
  return handle;
}

int TagKxCall::PlayNameConf(const std::string& room, const std::string& file, int wait) {
  TagNameConfCtrl& reg = ConfRooms();
  int handle = 0;
  int32_t session = 0, isSipConf = 0;
  {
    std::lock_guard<std::recursive_mutex> g(reg.Mutex());
    TagMeetRoom* meet = reg.GetRoom(room);
    if (!meet) return -1;
    if (meet->playHandle) return -2;
    int r = StartConfPlay(meet->session, meet->isSipConf, file, handle);
    if (r < 0 || handle == 0) return -3;
    meet->playHandle = handle;
    session = meet->session;
    isSipConf = meet->isSipConf;
  }
  if (wait) {
    while (interrupted.load() == 0 && PollState() == 1) {
      if (IsConfPlayEnd(session, isSipConf, handle)) break;
      plat::SleepMs(100);
    }
    StopConfPlay(session, isSipConf, handle);
    std::lock_guard<std::recursive_mutex> g(reg.Mutex());
    // Only this play's handle is cleared: the room may have been closed and
    // another of the same room opened meanwhile.
    TagMeetRoom* meet = reg.GetRoom(room);
    if (meet && meet->playHandle == handle) meet->playHandle = 0;
  }
  return handle;
}

int TagKxCall::RecNameConfCh(const std::string& room, int line, const std::string& file) {
  TagNameConfCtrl& reg = ConfRooms();
  std::lock_guard<std::recursive_mutex> g(reg.Mutex());
  TagMeetCh* m = reg.FindMember(room, line);
  if (!m) return -1;
  if (m->recHandle) return static_cast<int>(plat::TickCount() - m->recStartTick);
  if (file.empty()) return 0;
  int handle = 0;
  int r = StartConfChRecord(m->channel, file, handle);
  if (r < 0 || handle == 0) return -3;
  m->recHandle = handle;
  m->recStartTick = plat::TickCount();
  return 0;
}
