#pragma once
// The three callbacks a SIP layer makes into scripts: each runs the script
// function last registered for it, on the caller's thread. Runs of the
// callbacks are serialised, and a registration goes with its script
// instance, so a callback never runs a function of a deleted instance.
#include <string>

// -100 nothing registered, -101 not a function, -102 too few parameters;
// else the function's result (the registration notice: 0).
int SipAccPwdCallback(const std::string& account, std::string& out1, std::string& out2);
int SipAccPwdIpCallback(const std::string& account, std::string& out1, std::string& out2, std::string& out3);
int SipRegisterNotifyCallback(const std::string& a, const std::string& b, int x, int y);
