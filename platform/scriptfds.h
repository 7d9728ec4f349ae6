#pragma once
// The descriptors that scripts open, with the line that opened each and its
// kind. Script operations read, write and close only descriptors found here:
// Linux hands a closed number out again at once, so a double close, a handle
// kept after a close-all or a text passed as a handle would otherwise reach
// the log file or the card's socket. Any line may use and close a socket a
// script opened (a line hands connections to worker lines); the owner only
// decides which line's reload or stop closes what is left.
#include <vector>

enum class ScriptFdKind : int {
  kTcp = 1,         // TCP connection or listener of the TCP operations
  kHttp = 2,        // HTTP server listener or one of its connections
  kUdp = 3,         // UDP socket
};

// Records a descriptor just made for a script (a number already recorded is
// replaced: its earlier entry was stale).
void ScriptFdAdd(int fd, int ownerLine, ScriptFdKind kind);
// Whether fd is recorded for that line with that kind.
bool ScriptFdOwned(int fd, int ownerLine, ScriptFdKind kind);
// Whether fd is recorded with that kind, for whichever line.
bool ScriptFdKnown(int fd, ScriptFdKind kind);
// Closes fd when it is recorded for that line with that kind, and forgets it;
// false (nothing closed) otherwise.
bool ScriptFdClose(int fd, int ownerLine, ScriptFdKind kind);
// The same for whichever line it is recorded for.
bool ScriptFdCloseKnown(int fd, ScriptFdKind kind);
// Closes and forgets every descriptor of that line and kind; how many.
int ScriptFdCloseAll(int ownerLine, ScriptFdKind kind);
// The descriptors recorded for that line and kind, in ascending order.
std::vector<int> ScriptFdList(int ownerLine, ScriptFdKind kind);
