#pragma once
// The external media channel that carries a virtual line's voice link to a
// SIP line. This system has no SIP lines, so it provides the channel as an
// empty implementation: every operation succeeds and does nothing, and get
// delivers no bytes, so a link plays silence.
#include <cstdint>

// Payload type of A-law for ms_external_channel_start.
constexpr int kMediaPayloadALaw = 8;

int ms_external_channel_create(int* channel);
int ms_external_channel_start(int channel, int payload);
int ms_external_channel_put(int channel, const uint8_t* data, int count);
// count: at most this many bytes in, the bytes delivered out.
int ms_external_channel_get(int channel, uint8_t* buffer, int* count);
int ms_external_channel_stop(int channel);
int ms_external_channel_destroy(int channel);
