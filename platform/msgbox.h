#pragma once
#include <functional>
#include <string>

namespace plat {

// Message-box flags, the subset the system uses.
enum BoxFlags : int {
  kBoxOk = 0,
  kBoxOkCancel = 1,
  kBoxYesNo = 4,
  kBoxIconError = 0x10,
  kBoxIconQuestion = 0x20,
  kBoxIconWarning = 0x30,
  kBoxIconInfo = 0x40,
};
// Answers.
enum BoxResult : int { kIdOk = 1, kIdCancel = 2, kIdYes = 6, kIdNo = 7 };

// Title and text are GB bytes. The handler is installed by the window layer;
// it is called on the caller's thread and must itself hand the box to the GUI
// thread, giving up (returning kIdCancel) when cancelled() becomes true.
using BoxHandler = std::function<int(const std::string& title, const std::string& text, int flags,
                                     const std::function<bool()>& cancelled)>;
void SetBoxHandler(BoxHandler handler);
// While shutting down boxes are only logged.
void SetBoxesQuiet(bool quiet);

// Shows a box, or, with no screen, logs "title: text" and returns the default
// answer (kIdOk, or kIdNo for yes/no boxes) at once. When the environment
// names a file in RODIZ_BOX_RECORD every box is appended there as a UTF-8
// line "title: text", so tests can see what a user would have seen.
int MessageBox(const std::string& title, const std::string& text, int flags = kBoxOk,
               const std::function<bool()>& cancelled = {});

// Opens a file or link with the desktop's default program (xdg-open,
// detached) when there is a screen; otherwise only logs it. RODIZ_SHELL_RECORD
// names a file that records every request.
void ShellOpen(const std::string& target);
void SetShellEnabled(bool enabled);

// Where the platform layer's own diagnostics go; the program routes them into
// its log. Without a sink they go to stderr.
void SetDiagSink(std::function<void(const std::string&)> sink);
void Diag(const std::string& text);

}  // namespace plat
