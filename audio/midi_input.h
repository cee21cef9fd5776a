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

// The JACK server went away: closes the input when it was JACK's (its client is
// dead, and libjack must not keep it beside a new server's clients). True when it
// did; start_midi_input then opens it again once the server is back.
bool close_jack_midi_input();
