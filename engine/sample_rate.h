// The one sample rate of the whole system: every module steps once per sample at
// this many samples per second, and the stream, the renderer and the sound devices
// run at it.
#pragma once

constexpr int kSampleRate = 44100;  // frames (samples per channel) per second
