#pragma once
// What the system operations learn from the program around the lines: the
// program installs it once the line manager exists and removes it before the
// line manager goes. Without it the counts read 0 and "Exit(" only traces.
#include <ctime>
#include <functional>
#include <string>

struct TagSysHost {
  std::function<std::string()> cardSerial;
  std::function<std::string()> version;
  // Connected lines by type: external, internal, virtual, VoIP.
  std::function<void(int* ex, int* in, int* vir, int* ip)> countConnected;
  // True while the line is connected, with the seconds since and the time.
  std::function<bool(int line, long* elapsed, time_t* since)> lineTime;
  // The main window's quit request.
  std::function<void()> quit;
};

void SetSysHost(const TagSysHost& host);
void ClearSysHost();
