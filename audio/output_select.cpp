// The output and driver prompts and the sound layer's initialisation.
#include "audio/output_select.h"

#include <cstdio>
#include <cstdlib>

#include "audio/wincompat.h"
#include "audio/fsound.h"
#include "engine/sample_rate.h"

namespace {

// Mix rate and software channel count the synth runs the layer at.
constexpr int kFrequency = kSampleRate;
constexpr int kSoftwareChannels = 32;
constexpr float kRequiredVersion = 3.74f;
constexpr char kEscape = 27;

// Where Debian puts the sound server's OSS emulation library for this machine's
// architecture. Its padsp script builds a path that does not load, so the hint
// names the library itself.
#if defined(__x86_64__)
#define TEV_MULTIARCH "x86_64-linux-gnu"
#elif defined(__aarch64__)
#define TEV_MULTIARCH "aarch64-linux-gnu"
#elif defined(__i386__)
#define TEV_MULTIARCH "i386-linux-gnu"
#else
#define TEV_MULTIARCH "<multiarch>"
#endif
const char kOssHint[] =
    "No /dev/dsp* found: for OSS through the sound server, start tev-synth with "
    "LD_PRELOAD=/usr/lib/" TEV_MULTIARCH "/pulseaudio/libpulsedsp.so\n";

// Under an empty sound-server list, where only Escape would help.
const char kNoServerHint[] =
    "No sound server answers (PulseAudio, PipeWire or JACK): start one, then run tev-synth again\n";

const char kRule[] = "---------------------------------------------------------\n";

const char* output_name(int type) {
  switch (type) {
    case 0: return "NoSound";
    case 1: return "Windows Multimedia Waveout";
    case 2: return "Direct Sound";
    case 4: return "Open Sound System";
    case 5: return "Enlightment Sound Daemon";
    case 6: return "Alsa";
    case 7: return "ASIO";
    default: return "";
  }
}

// One key as the prompts see it: the low 8 bits as a signed character. A console
// with no more input (-1 at end of file, 0xdeadbeef from a failed wait) would
// answer every further read at once without a key, so the prompt ends there.
char read_key() {
  int c = getch();
  if (c == -1 || c == static_cast<int>(0xdeadbeef)) {
    printf("No more console input: quitting.\n");
    fflush(stdout);
    exit(1);
  }
  return static_cast<signed char>(c & 0xff);
}

}  // namespace

int init_sound_with_version(float version) {
  if (version < kRequiredVersion) {
    printf("Error : You are using the wrong DLL version!  You should be using FMOD %.02f\n",
           static_cast<double>(kRequiredVersion));
    return 0;
  }

  printf("%s", kRule);
  printf("Output Type\n");
  printf("%s", kRule);
  printf("1 - OSS - Open Sound System\n");
  printf("2 - ESD - Elightment Sound Daemon\n");
  printf("3 - ALSA 0.9 - Advanced Linux Sound Architecture\n");
  printf("4 - NoSound\n");
  printf("%s", kRule);
  printf("Press a corresponding number or ESC to quit\n");
  fflush(stdout);

  char key;
  do {
    key = read_key();
  } while (key != kEscape && (key < '1' || key > '4'));
  if (key == kEscape) exit(0);
  const int types[] = {FSOUND_OUTPUT_OSS, FSOUND_OUTPUT_ESD, FSOUND_OUTPUT_ALSA,
                       FSOUND_OUTPUT_NOSOUND};
  FSOUND_SetOutput(types[key - '1']);

  printf("%s", kRule);
  printf("%s", output_name(FSOUND_GetOutput()));
  printf(" Driver list\n");
  printf("%s", kRule);
  for (int i = 0; i < FSOUND_GetNumDrivers(); i++) {
    const char* name = FSOUND_GetDriverName(i);
    printf("%d - %s\n", i + 1, name ? name : "");
  }
  printf("%s", kRule);
  printf("Press a corresponding number or ESC to quit\n");
  if (FSOUND_GetOutput() == FSOUND_OUTPUT_OSS && FSOUND_GetNumDrivers() == 0) printf("%s", kOssHint);
  if (FSOUND_GetOutput() == FSOUND_OUTPUT_ESD && FSOUND_GetNumDrivers() == 0) printf("%s", kNoServerHint);
  fflush(stdout);

  for (;;) {
    key = read_key();
    if (key == kEscape) exit(0);
    int k = key - '1';
    if (k < 0 || k >= FSOUND_GetNumDrivers()) continue;
    FSOUND_SetDriver(k);
    break;
  }

  if (FSOUND_Init(kFrequency, kSoftwareChannels, 0)) return 1;
  printf("Error!\n");
  printf("%s\n", FMOD_ErrorString(FSOUND_GetError()));
  return 0;
}

int init_sound() { return init_sound_with_version(FSOUND_GetVersion()); }
