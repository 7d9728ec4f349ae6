#pragma once
// The program's entry: single instance, Qt application, main window, message loop.
int RodizMain(int argc, char** argv);
