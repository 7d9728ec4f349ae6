#pragma once
// Named conference rooms shared by every line: the registry of rooms and
// their members. The call object's room operations keep it in step with
// the line's conference resources. One lock guards the map and every room;
// it is taken before the card lock, never after, and never held across a wait.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

struct TagMeetCh {
  int32_t channel = 0;   // the member line's media channel
  int32_t isListen = 0;  // 1 listen-only member
  int32_t recHandle = 0;  // the member's own recording, 0 when none
  uint32_t recStartTick = 0;
};

struct TagMeetRoom {
  std::string name;
  int32_t session = 0;
  int32_t recHandle = 0;
  int32_t playHandle = 0;
  int32_t isSipConf = 0;
  std::map<int, TagMeetCh> members;  // by line number
};

class TagNameConfCtrl {
 public:
  // The registry lock, for callers that hold it across several steps.
  std::recursive_mutex& Mutex() { return lock_; }

  // Callers hold the lock:
  int FindRoom(const std::string& name, int32_t* isSipConf, int32_t* session);
  TagMeetRoom* GetRoom(const std::string& name);
  int32_t AddRoom(const std::string& name, int32_t session, int32_t isSipConf);
  int AddMember(const std::string& name, int line, int32_t isListen, int32_t channel, int* count, int32_t* session);
  TagMeetCh* FindMember(const std::string& name, int line);
  int CloseRoom(const std::string& name);
  // These take the lock themselves:
  int RemoveMember(int line, int* isClosed, int32_t* isSipConf, int32_t* rec, int32_t* play, int32_t* memberRec,
                   int32_t* session);
  int GetMembers(const std::string& name, std::map<int, int>* members);
  int FindConfOfLine(int line, int32_t* isListen, std::string* name, int32_t* session);
  size_t RoomCount();

 private:
  std::recursive_mutex lock_;
  std::map<std::string, std::unique_ptr<TagMeetRoom>> rooms_;
};

// The registry the call objects use: the line manager's while it lives
// (installed with SetConfRooms), else a process-wide one of its own.
TagNameConfCtrl& ConfRooms();
void SetConfRooms(TagNameConfCtrl* rooms);
