// Until the call object's own code is part of the build, the engine tests
// link against this minimal base: every feature answers harmlessly.
#if !__has_include("lines/kxcall.cpp")
#include "lines/kxcall.h"

int TagCfgTones::Set(int, const int32_t[9]) { return -1; }
const char* LineTypeName(int) { return ""; }
int32_t NowSeconds() { return 0; }
TagKxCall::TagKxCall() = default;
TagKxCall::~TagKxCall() = default;
int TagKxCall::ReLoopPlay() { return 0; }
int TagKxCall::OutCall(const std::string&, int, int) { return 0; }
int TagKxCall::WaitRing(int) { return 0; }
int TagKxCall::IsRings(int) { return 0; }
int TagKxCall::IsRinging(std::string&, std::string&) { return 0; }
int TagKxCall::SipGetPeerMsg(std::string&, std::string&, int) { return 0; }
int TagKxCall::PlayFile(const std::string&, uint8_t, int) { return 0; }
int TagKxCall::StartLoopPlay(const std::string&) { return 0; }
int TagKxCall::PcPlay(const std::string&, int, int, uint8_t) { return 0; }
int TagKxCall::IsPcPlayEnd() { return 1; }
int TagKxCall::KeysLen() { return 0; }
void TagKxCall::StopPlay() {}
int TagKxCall::GetCallerId(std::string&) { return 0; }
int TagKxCall::GetCalleeId(std::string&) { return 0; }
int TagKxCall::GetFirstCalleeId(std::string&) { return 0; }
int TagKxCall::TxtSpeak(const std::string&, int, int, int) { return 0; }
void TagKxCall::SetVolume(int, int) {}
int TagKxCall::CheckDial() { return 0; }
int TagKxCall::GetHookState() { return 0; }
int TagKxCall::PollState() { return 0; }
int TagKxCall::RecvFskMsg(int&, std::string&) { return 0; }
int TagKxCall::SetSigPara(int, int) { return 0; }
void TagKxCall::Log(const std::string&) const {}
void TagKxCall::LogAlways(const std::string&) const {}
bool TagKxCall::StartPlayer(const std::string&, int32_t) { return false; }
void TagKxCall::DeletePlayer() {}
#endif
