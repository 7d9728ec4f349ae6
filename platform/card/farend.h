#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/card/isupcodes.h"

// The far end of the software card: what a telephone network and the
// handsets on the analog ports would do. Channels are card indexes (digital
// channels first, then analog ports). Every call takes the card lock.
namespace plat {

class SimCard;

class SimCardFarEnd {
 public:
  explicit SimCardFarEnd(SimCard& card) : card_(card) {}

  struct PlayedInfo {
    std::string file;
    int mode = 0;
    uint32_t startTick = 0;
    uint32_t ms = 0;     // played so far
    bool ended = false;  // reached the end of the file
  };
  struct CalloutInfo {
    std::string number, calling, firstCallee;
    std::vector<uint8_t> params;
  };

  // Failing calls say why here.
  const std::string& Error() const { return error_; }

  // An incoming call on an idle digital channel, with its raw IAM.
  bool IncomingIam(int ch, const std::vector<uint8_t>& iam);
  bool IncomingCall(int ch, const std::string& caller, const std::string& called,
                    const std::string& firstCalled = "", int redirCase = 0);
  // Keys the caller presses (digital channel or analog port). They reach the
  // card one tone and pause apart, behind any still arriving; at most 1,024
  // wait at once, and keys that do not all fit are refused whole.
  bool Dtmf(int ch, const std::string& keys);
  // The channel is in a call (a trunk channel from IAM to release, a port off
  // hook); else false with the reason in Error().
  bool HasCall(int ch);
  // Answers to an outgoing call on a digital channel.
  bool Acm(int ch, const std::vector<uint8_t>& acm);
  bool Cpg(int ch, int cause);
  // kChanOutAnswered or kChanOutConnected; on an analog trunk port: connected.
  bool Answer(int ch, int state = card::kChanOutAnswered);
  // The far end releases the call with a cause; keys still to come are dropped.
  bool Release(int ch, int cause);
  bool Block(int ch);
  bool Unblock(int ch);
  int State(int ch);
  // Polls until the channel state is `state`; false after timeoutMs or when
  // cancelled() becomes true.
  bool WaitState(int ch, int state, uint32_t timeoutMs,
                 const std::function<bool()>& cancelled = {});

  std::vector<std::vector<uint8_t>> Frames(int ch);
  std::vector<std::pair<int, int>> Messages(int ch);
  std::vector<CalloutInfo> Callouts(int ch);
  std::string DtmfSent(int ch);

  std::vector<PlayedInfo> Played(int ch);
  // The A-law samples the channel has played of its play number `which`
  // (negative: the last).
  std::vector<uint8_t> PlayedAudio(int ch, int which = -1);
  // The same; false when the played file can no longer be read.
  bool PlayedAudio(int ch, int which, std::vector<uint8_t>* out);
  // What the channel hears next (A-law), taken by its record.
  bool Feed(int ch, const std::vector<uint8_t>& alaw);
  bool FeedFile(int ch, const std::string& path);

  // Analog ports: the handset (user port) is lifted or put down.
  bool Hook(int ch, bool offHook);
  bool Ringing(int ch, int* starts = nullptr);
  std::vector<std::vector<uint8_t>> FskMessages(int ch);
  std::string Dialled(int ch);
  bool TrunkOffHook(int ch);

  // Ends a running fax with a state (1 done, negative failed).
  bool FaxEnd(int fax, int state);
  // Per fax channel: line linked (-1 none), running, last state.
  struct FaxInfo {
    int line = -1;
    bool running = false;
    int state = 0;
    std::string file, id;
  };
  std::vector<FaxInfo> Faxes();
  // A fax machine at the far end of a line (card index): it sends the TIFF
  // file to the next fax the line receives, or receives the next fax the
  // line sends into the file, and can be asked how it went.
  bool FaxMachine(int ch, bool send, const std::string& file, const std::string& ident);
  bool FaxMachineClear(int ch);
  struct FaxMachineInfo {
    std::string state;  // armed, running, done
    int result = 0;     // 0 good, else the T.30 completion code
    int pages = 0;
    int width = 0;
    std::string remoteId;
  };
  bool FaxMachineState(int ch, FaxMachineInfo* out);
  // What the channel's far end heard over the last ms milliseconds (at most
  // 60 s, whole 20 ms frames), silence where it heard nothing.
  std::vector<uint8_t> Heard(int ch, uint32_t ms);
  // The level of that in dBm0 (-99 silence).
  double HeardLevel(int ch, uint32_t ms);
  // A sine tone the far end sends into the channel, behind what is queued.
  bool Tone(int ch, int hz, double dbm0, uint32_t ms);
  struct GroupMember {
    int ch = -1;
    bool listen = false;
    int gain = 0;
  };
  struct GroupInfo {
    int group = -1;
    std::vector<GroupMember> members;
  };
  // Groups that have members, in group order.
  std::vector<GroupInfo> Groups();
  struct GroupVoice {
    int handle = 0;
    int group = -1;
    bool record = false;
    bool running = false;
    std::string file;
  };
  // The plays and records of the groups.
  std::vector<GroupVoice> GroupVoices();
  // Conference group of a line (-1 none) and whether it listens.
  int Group(int ch, bool* listen = nullptr);
  int Partner(int ch);

  // One command line of the control socket; the answer "OK ..." or "ERR ...".
  std::string Execute(const std::string& line, const std::function<bool()>& cancelled = {});

  // The commands Execute knows, as HELP lists them.
  struct CommandHelp {
    std::string name, args, answer;
  };
  static std::vector<CommandHelp> Commands();

 private:
  bool Fail(const std::string& why) {
    error_ = why;
    return false;
  }
  SimCard& card_;
  std::string error_;
};

}  // namespace plat
