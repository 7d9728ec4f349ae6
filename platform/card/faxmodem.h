#pragma once
// A real fax machine for the software card: a T.30 endpoint (V.27ter, V.29,
// V.17) that sends a TIFF file or receives one, fed and read 20 ms of audio
// at a time. A card fax channel linked to a line and the far end's machine
// on that line are two of these, joined by the line's A-law time slot.
#include <cstdint>
#include <memory>
#include <string>

namespace plat::card {

constexpr int kFaxFrameSamples = 160;  // 20 ms at 8 kHz

class FaxModem {
 public:
  // calling: this side placed the call. send: the file is sent, else the
  // received pages are written into it.
  FaxModem(bool calling, bool send, const std::string& file, const std::string& ident);
  ~FaxModem();
  FaxModem(const FaxModem&) = delete;
  FaxModem& operator=(const FaxModem&) = delete;

  // False when the endpoint could not be made.
  bool Ok() const { return state_ != nullptr; }
  // The next frame of what this side sends.
  void Transmit(int16_t* amp, int n);
  // A frame of what this side hears.
  void Receive(int16_t* amp, int n);
  // The call ended (T.30 phase E); Completion() is 0 for a good transfer.
  bool Done() const { return done_; }
  int Completion() const { return completion_; }
  // Pages sent or received so far, the width of the last page, the other
  // side's identity.
  int Pages() const;
  int Width() const;
  std::string RemoteIdent() const;
  // Stops the call where it stands.
  void Abort();
  // The call's end as T.30 reports it.
  void Finish(int completion) {
    done_ = true;
    completion_ = completion;
  }

 private:
  struct State;
  std::unique_ptr<State> state_;
  bool send_ = false;
  bool done_ = false;
  int completion_ = -1;
};

// Runs frames of 20 ms between two endpoints through A-law in each direction.
void ExchangeFaxAudio(FaxModem& a, FaxModem& b, int frames);

}  // namespace plat::card
