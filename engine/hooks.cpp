#include "engine/hooks.h"

namespace {
uint32_t no_ticks() { return 0; }
void no_caption(const char*) {}
}  // namespace

uint32_t (*tev_ticks_hook)() = no_ticks;
void (*tev_caption_hook)(const char*) = no_caption;
