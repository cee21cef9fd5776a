// The sound layer: the twelve FSOUND_ calls the synth makes, backed by real Linux
// audio (ALSA and PulseAudio through RtAudio, OSS through /dev/dsp*, NoSound).
//
// Sample calls (FSOUND_Sample_Load, FSOUND_Sample_GetLength) live in the patch
// library (libsndfile only); everything else lives in the device library.
#pragma once

#include "patch/sample_file.h"

// Output types accepted by FSOUND_SetOutput.
enum {
  FSOUND_OUTPUT_NOSOUND = 0,
  FSOUND_OUTPUT_OSS = 4,
  FSOUND_OUTPUT_ESD = 5,  // the desktop sound server: PulseAudio or PipeWire's pulse server
  FSOUND_OUTPUT_ALSA = 6,
};

// Error codes reported by FSOUND_GetError (messages in FMOD_ErrorString).
enum {
  FMOD_ERR_NONE = 0,
  FMOD_ERR_BUSY = 1,
  FMOD_ERR_UNINITIALIZED = 2,
  FMOD_ERR_INIT = 3,
  FMOD_ERR_ALLOCATED = 4,
  FMOD_ERR_PLAY = 5,
  FMOD_ERR_OUTPUT_FORMAT = 6,
  FMOD_ERR_COOPERATIVELEVEL = 7,
  FMOD_ERR_CREATEBUFFER = 8,
  FMOD_ERR_FILE_NOTFOUND = 9,
  FMOD_ERR_FILE_FORMAT = 10,
  FMOD_ERR_FILE_BAD = 11,
  FMOD_ERR_MEMORY = 12,
  FMOD_ERR_VERSION = 13,
  FMOD_ERR_INVALID_PARAM = 14,
  FMOD_ERR_NO_EAX = 15,
  FMOD_ERR_CHANNEL_ALLOC = 16,
  FMOD_ERR_RECORD = 17,
  FMOD_ERR_MEDIAPLAYER = 18,
};

struct FSOUND_STREAM;

// Fills `length` bytes of interleaved 16-bit stereo frames; called on the layer's
// own thread. Returns 1.
typedef int (*FSOUND_STREAMCALLBACK)(FSOUND_STREAM* stream, void* buffer, int length,
                                     void* userdata);

float FSOUND_GetVersion();
int FSOUND_SetOutput(int outputtype);
int FSOUND_GetOutput();
int FSOUND_GetNumDrivers();
const char* FSOUND_GetDriverName(int id);
int FSOUND_SetDriver(int driver);
int FSOUND_Init(int mixrate, int maxsoftwarechannels, unsigned int flags);
int FSOUND_GetError();
// `lenbytes` is the largest block the callback is asked for, not the latency.
FSOUND_STREAM* FSOUND_Stream_Create(FSOUND_STREAMCALLBACK callback, int lenbytes,
                                    unsigned int mode, int samplerate, void* userdata);
int FSOUND_Stream_Play(int channel, FSOUND_STREAM* stream);

// Message for an error code; "Unknown error" outside 0..18.
const char* FMOD_ErrorString(int errcode);

// Beyond the twelve calls: what the device granted, for the start-up report and
// the tests. Frames per device period and total output latency in frames (0 when
// no stream plays). The underruns the device reports are counted by the live
// player (host/player.h).
int tev_sound_period_frames();
int tev_sound_latency_frames();
// Stops the stream and closes the device; safe to call at exit.
void tev_sound_close();
// Watches the playing stream's device; call from the main thread, often (every
// pass of the main loop). When the device thread has reported the output lost it
// prints "sound output lost: <why>; retrying", closes the device and then tries
// to reopen the same output and driver (or the output's default device when that
// driver is gone), at most a few times a second; once playing again it prints
// "sound output restored after N.N s". Returns at once otherwise.
void tev_sound_supervise();
