// Runs the start-up prompts as the synth does and prints what they left:
//   prompt_driver [--version V] [--signal-restore] [--stream]
// --version V      run the prompts as if the sound layer reported version V
// --signal-restore install the console restore on fatal signals first
// --stream         afterwards create and play the synth's stream, and report
// --tone           the stream plays one second of 440 Hz at amplitude 8000,
//                  then silence; the driver exits after two seconds
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <cstring>
#include <thread>

#include "audio/wincompat.h"
#include "audio/fsound.h"
#include "audio/output_select.h"

namespace {
int silence(FSOUND_STREAM*, void* buffer, int length, void*) {
  std::memset(buffer, 0, static_cast<size_t>(length));
  return 1;
}
long long g_tone_frames = 0;  // touched by the device thread only
int tone(FSOUND_STREAM*, void* buffer, int length, void*) {
  short* s = static_cast<short*>(buffer);
  for (int i = 0; i < length / 4; ++i, ++g_tone_frames) {
    short v = 0;
    if (g_tone_frames < 44100)
      v = static_cast<short>(std::lround(8000.0 * std::sin(2 * 3.14159265358979323846 * 440.0 *
                                                           static_cast<double>(g_tone_frames) / 44100)));
    s[2 * i] = v;
    s[2 * i + 1] = v;
  }
  return 1;
}
}  // namespace

int main(int argc, char** argv) {
  bool have_version = false;
  float version = 0;
  bool stream = false;
  bool play_tone = false;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--version") && i + 1 < argc) {
      have_version = true;
      version = std::strtof(argv[++i], nullptr);
    } else if (!std::strcmp(argv[i], "--signal-restore")) {
      wincompat_install_signal_restore();
    } else if (!std::strcmp(argv[i], "--stream")) {
      stream = true;
    } else if (!std::strcmp(argv[i], "--tone")) {
      stream = play_tone = true;
    }
  }
  int r = have_version ? init_sound_with_version(version) : init_sound();
  std::printf("init_sound=%d output=%d\n", r, FSOUND_GetOutput());
  if (stream) {
    FSOUND_STREAM* s = FSOUND_Stream_Create(play_tone ? tone : silence, 32768, 0x1000150, 44100, nullptr);
    std::printf("stream=%s error=%d\n", s ? "yes" : "no", FSOUND_GetError());
    int played = FSOUND_Stream_Play(0, s);
    std::printf("play=%d error=%d\n", played, FSOUND_GetError());
    std::fflush(stdout);
    if (play_tone) std::this_thread::sleep_for(std::chrono::seconds(2));
  }
  std::fflush(stdout);
  return 0;
}
