#include "engine/hooks.h"

#include <cstdlib>

namespace {
uint32_t no_ticks() { return 0; }
void no_caption(const char*) {}
void plain_exit(int status) { std::exit(status); }
}  // namespace

uint32_t (*tev_ticks_hook)() = no_ticks;
void (*tev_caption_hook)(const char*) = no_caption;
void (*tev_exit_hook)(int) = plain_exit;
