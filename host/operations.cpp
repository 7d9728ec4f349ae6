#include "host/operations.h"

#include "engine/runtimecompile.h"
#include "operations/argread.h"
#include "regex/eregops.h"

// A new family: its file exports one table; add one line here.
const std::vector<TagOpFamily>& OperationFamilies() {
  static const std::vector<TagOpFamily> families = {
      {"run-time", RuntimeOperations},
      {"call control", CallCtlOperations},
      {"keys", KeyOperations},
      {"voice", VoiceOperations},
      {"voice settings", VoiceCfgOperations},
      {"numbers spoken", PlayNumberOperations},
      {"strings", StringOperations},
      {"numbers and time", NumberTimeOperations},
      {"regular expressions", RegexOperations},
      {"encodings", EncodingOperations},
      {"messages", MessageOperations},
      {"shared values", ShareValueOperations},
      {"ACD queues", AcdOperations},
      {"inter-line calls", InterLineOperations},
      {"files and directories", FileOperations},
      {"TCP", TcpOperations},
      {"HTTP and UDP", HttpUdpOperations},
      {"system", SystemOperations},
      {"user libraries", DllOperations},
      {"server pages", ServerPageOperations},
      {"fax", FaxOperations},
      {"databases", DatabaseOperations},
      {"line linking", LinkingOperations},
      {"conference rooms", ConferenceOperations},
      {"signalling", SignallingOperations},
      {"SIP", SipOperations},
      {"instant messages", ImOperations},
      {"speech", SpeechOperations},
  };
  return families;
}

void RegisterAllOperations() {
  TagOpFactory& f = TagOpFactory::Instance();
  for (const TagOpFamily& family : OperationFamilies()) f.Register(family.table());
}
