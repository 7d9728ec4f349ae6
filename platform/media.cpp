#include "platform/media.h"

int ms_external_channel_create(int* channel) {
  if (channel) *channel = 0;
  return 0;
}

int ms_external_channel_start(int, int) { return 0; }

int ms_external_channel_put(int, const uint8_t*, int) { return 0; }

int ms_external_channel_get(int, uint8_t*, int* count) {
  if (count) *count = 0;
  return 0;
}

int ms_external_channel_stop(int) { return 0; }

int ms_external_channel_destroy(int) { return 0; }
