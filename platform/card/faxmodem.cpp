#include "platform/card/faxmodem.h"

#include <spandsp.h>

#include "platform/path.h"

namespace plat::card {

namespace {

void OnPhaseE(t30_state_t*, void* user, int completion) { static_cast<FaxModem*>(user)->Finish(completion); }

}  // namespace

struct FaxModem::State {
  fax_state_t* fax = nullptr;
  ~State() {
    if (fax) fax_free(fax);
  }
};

FaxModem::FaxModem(bool calling, bool send, const std::string& file, const std::string& ident)
    : send_(send) {
  auto s = std::make_unique<State>();
  s->fax = fax_init(nullptr, calling ? 1 : 0);
  if (!s->fax) return;
  fax_set_transmit_on_idle(s->fax, 1);
  span_log_set_level(fax_get_logging_state(s->fax), SPAN_LOG_NONE);
  t30_state_t* t = fax_get_t30_state(s->fax);
  span_log_set_level(t30_get_logging_state(t), SPAN_LOG_NONE);
  t30_set_tx_ident(t, ident.substr(0, 20).c_str());
  t30_set_supported_modems(t, T30_SUPPORT_V27TER | T30_SUPPORT_V29 | T30_SUPPORT_V17);
  t30_set_ecm_capability(t, 0);
  std::string path = ResolvePath(file);
  if (send)
    t30_set_tx_file(t, path.c_str(), -1, -1);
  else
    t30_set_rx_file(t, path.c_str(), -1);
  t30_set_phase_e_handler(t, OnPhaseE, this);
  state_ = std::move(s);
}

FaxModem::~FaxModem() = default;

void FaxModem::Transmit(int16_t* amp, int n) {
  int got = state_ ? fax_tx(state_->fax, amp, n) : 0;
  for (int i = got < 0 ? 0 : got; i < n; i++) amp[i] = 0;
}

void FaxModem::Receive(int16_t* amp, int n) {
  if (state_) fax_rx(state_->fax, amp, n);
}

int FaxModem::Pages() const {
  if (!state_) return 0;
  t30_stats_t st;
  t30_get_transfer_statistics(fax_get_t30_state(state_->fax), &st);
  return send_ ? st.pages_tx : st.pages_rx;
}

int FaxModem::Width() const {
  if (!state_) return 0;
  t30_stats_t st;
  t30_get_transfer_statistics(fax_get_t30_state(state_->fax), &st);
  return st.width;
}

std::string FaxModem::RemoteIdent() const {
  if (!state_) return "";
  const char* id = t30_get_rx_ident(fax_get_t30_state(state_->fax));
  return id ? id : "";
}

void FaxModem::Abort() {
  if (!state_ || done_) return;
  t30_terminate(fax_get_t30_state(state_->fax));
  if (!done_) Finish(T30_ERR_CALLDROPPED);
}

void ExchangeFaxAudio(FaxModem& a, FaxModem& b, int frames) {
  int16_t ab[kFaxFrameSamples], ba[kFaxFrameSamples];
  for (int f = 0; f < frames; f++) {
    a.Transmit(ab, kFaxFrameSamples);
    b.Transmit(ba, kFaxFrameSamples);
    // The time slot carries A-law both ways.
    for (int i = 0; i < kFaxFrameSamples; i++) {
      ab[i] = alaw_to_linear(linear_to_alaw(ab[i]));
      ba[i] = alaw_to_linear(linear_to_alaw(ba[i]));
    }
    b.Receive(ab, kFaxFrameSamples);
    a.Receive(ba, kFaxFrameSamples);
  }
}

}  // namespace plat::card
