#pragma once
// The operations of the IVR vocabulary: the base of those that need the call
// object, and each family's table.
#include <string>
#include <vector>

#include "engine/argoper.h"
#include "engine/keyword.h"
#include "engine/opfactory.h"
#include "engine/tagvar.h"

class TagTelBasic;
class TagKxCall;

// An operation that needs the call object; -1 when the line has none.
class TagCallOper : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  int Execute() final;

 protected:
  virtual int Run(TagKxCall& call) = 0;
};

// The families of the IVR vocabulary, each one table for the factory.
const TagOpTable& CallCtlOperations();
const TagOpTable& KeyOperations();
const TagOpTable& VoiceOperations();
const TagOpTable& VoiceCfgOperations();
const TagOpTable& PlayNumberOperations();
const TagOpTable& StringOperations();
const TagOpTable& NumberTimeOperations();
const TagOpTable& EncodingOperations();
const TagOpTable& MessageOperations();
const TagOpTable& ShareValueOperations();
const TagOpTable& AcdOperations();
const TagOpTable& InterLineOperations();
const TagOpTable& FileOperations();
const TagOpTable& TcpOperations();
const TagOpTable& HttpUdpOperations();
const TagOpTable& SystemOperations();
const TagOpTable& DllOperations();
// How a call of a function declared with "DllFunction(" runs: through the
// line's user-library table; -1 when the line did not declare it with as
// many arguments. The runtime hands it to the engine when lines start.
int RunDllCall(TagTelBasic* root, const std::string& name, const std::vector<TagVar*>& args);
const TagOpTable& ServerPageOperations();
const TagOpTable& FaxOperations();
const TagOpTable& DatabaseOperations();
const TagOpTable& LinkingOperations();
const TagOpTable& ConferenceOperations();
const TagOpTable& SignallingOperations();
const TagOpTable& SipOperations();
const TagOpTable& ImOperations();
const TagOpTable& SpeechOperations();
