// The two places where the engine and the loader need the windowing layer, reached
// through hooks so that they link without SDL. The application installs the SDL versions;
// the renderer and the tests install their own or keep the defaults.
#pragma once

#include <cstdint>

// Millisecond clock that seeds the random generator when a sequencer is built.
// Default: always 0.
extern uint32_t (*tev_ticks_hook)();

// Window caption, set by the loader to the patch path. Default: does nothing.
extern void (*tev_caption_hook)(const char* title);
