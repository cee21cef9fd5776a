// Live MIDI input of tev-synth: one input port, `tev-synth:midi_in`, through JACK
// when a JACK server runs (none is ever started), else through the ALSA
// sequencer; connected at start-up to every MIDI output port there is. Its
// messages go through a MidiMapper into the player's MIDI queue.
#pragma once

class Player;

// Opens the port and prints one line: the system, the port and what was
// connected, or that no MIDI system is available. `player` lives as long as the
// process.
// Returns false when there is no MIDI input; the synth plays from its keys alone.
bool start_midi_input(Player& player);
