// The output and driver prompts at start-up, and the sound layer's initialisation.
#pragma once

// Asks the output type and the driver on the console (single keys through getch),
// then initialises the sound layer at 44100 Hz. Returns 1 when initialised, 0 when
// the layer's version was refused or initialisation failed (after printing why).
// ESC at a prompt ends the process with status 0. When the console has no more
// input (end of file, or the wait fails) at a prompt, it prints
// "No more console input: quitting." and ends the process with status 1.
int init_sound();

// init_sound with the layer's version given, for checking the refusal of old ones.
int init_sound_with_version(float version);
