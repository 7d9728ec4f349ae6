#pragma once
#include <functional>
#include <string>

// The process around the main window: the single-instance guard, the start
// from the program's own folder, the termination signals and Exit() of scripts.

constexpr const char* kInstanceMutexName = "RoDiz from Corvane";

// Product names as the window and its boxes show them (GB bytes).
std::string ProductName(int language);
// The version label's text with "-CardIsup" appended.
std::string VersionText();

// The guard for this process; false when another instance runs.
bool AcquireInstance();
// A second instance: the box, the running one's Show event set, then -1.
int SecondInstance();

// Start-up before the system start: the program's folder as the working
// directory, the configuration, the log writer. False when the folder cannot
// be entered.
bool PrepareStart(const char* argv0);

// SIGTERM, SIGINT and SIGHUP end up as a byte on a pipe (close-on-exec); the
// window watches its read end. -1 when the pipe cannot be made.
int InstallExitSignals();
// Drains the pipe; the number of signals read.
int DrainExitSignals(int fd);

// Exit() of scripts: the raw trace "Exit()!" and a queued quit request to the
// main window. Safe from any thread.
void Exit();
// The queued call Exit() makes; set by the main window.
void SetExitHook(std::function<void()> hook);
