#include "audio/midi_input.h"

#include <RtMidi.h>
#include <alsa/asoundlib.h>
#include <jack/jack.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "host/midi_map.h"
#include "host/player.h"

namespace {

constexpr const char* kClient = "tev-synth";
constexpr const char* kPort = "midi_in";

RtMidiIn* g_input = nullptr;  // main thread: created at start-up, deleted at exit
MidiMapper g_mapper;          // the MIDI thread's alone (JACK's process thread, or RtMidi's ALSA thread)

// The MIDI thread: one message in, its voice operations out to the audio thread.
void on_message(double, std::vector<unsigned char>* message, void* data) {
  auto* player = static_cast<Player*>(data);
  if (!message) return;
  VoiceOp ops[kMaxOpsPerEvent];
  const int n = g_mapper.map(player->voices(), message->data(), message->size(), ops);
  // A full queue (a thousand operations unapplied) drops the message whole.
  if (n > 0) player->push_midi(ops, n);
}

void stop_input() {
  delete g_input;
  g_input = nullptr;
}

void quiet_jack(const char*) {}
void quiet_alsa(const char*, int, const char*, int, const char*, ...) {}

// RtMidi writes its errors to std::cerr before throwing; the synth prints one line
// of its own instead.
class CerrCapture {
 public:
  CerrCapture() : saved_(std::cerr.rdbuf(text_.rdbuf())) {}
  ~CerrCapture() { std::cerr.rdbuf(saved_); }

 private:
  std::ostringstream text_;
  std::streambuf* saved_;
};

bool open_rtmidi(RtMidi::Api api, Player& player, std::string* why) {
  CerrCapture quiet;
  try {
    auto in = std::make_unique<RtMidiIn>(api, kClient);
    in->setCallback(on_message, &player);
    in->openVirtualPort(kPort);
    g_input = in.release();
    std::atexit(stop_input);
    return true;
  } catch (const RtMidiError& e) {
    *why = e.getMessage();
    return false;
  }
}

std::string joined(const std::vector<std::string>& names) {
  if (names.empty()) return "nothing (connect a keyboard with jack_connect or a patchbay)";
  std::string s;
  for (const std::string& n : names) s += (s.empty() ? "" : ", ") + n;
  return s;
}

std::set<std::string> jack_ports(jack_client_t* c, unsigned long flags) {
  std::set<std::string> out;
  if (const char** p = jack_get_ports(c, nullptr, JACK_DEFAULT_MIDI_TYPE, flags)) {
    for (int i = 0; p[i]; i++) out.insert(p[i]);
    jack_free(p);
  }
  return out;
}

// True when a JACK server answered (the port is then open and the line printed).
bool try_jack(Player& player) {
  jack_set_error_function(quiet_jack);
  jack_set_info_function(quiet_jack);
  jack_status_t status;
  // A helper client of our own, so that RtMidi is asked for JACK only when a server
  // runs, and to make the connections.
  jack_client_t* probe = jack_client_open("tev-synth-connect", JackNoStartServer, &status);
  if (!probe) return false;
  const std::set<std::string> inputs_before = jack_ports(probe, JackPortIsInput);
  std::string why;
  if (!open_rtmidi(RtMidi::UNIX_JACK, player, &why)) {
    std::printf("MIDI: JACK is running but the port %s:%s could not be opened (%s); "
                "playing from the keys only\n", kClient, kPort, why.c_str());
    jack_client_close(probe);
    return true;
  }
  // Our port is the new input named midi_in (JACK renames the client when another
  // tev-synth runs).
  std::string ours = std::string(kClient) + ":" + kPort;
  for (const std::string& p : jack_ports(probe, JackPortIsInput))
    if (!inputs_before.count(p) && p.size() > 8 && p.compare(p.size() - 8, 8, ":midi_in") == 0)
      ours = p;
  std::vector<std::string> connected;
  for (const std::string& p : jack_ports(probe, JackPortIsOutput))
    if (jack_connect(probe, p.c_str(), ours.c_str()) == 0) connected.push_back(p);
  jack_client_close(probe);
  std::printf("MIDI: JACK, port %s, connected from %s\n", ours.c_str(), joined(connected).c_str());
  return true;
}

struct SeqPort {
  int client, port;
  std::string client_name, port_name;
  unsigned caps;
};

std::vector<SeqPort> seq_ports(snd_seq_t* seq) {
  std::vector<SeqPort> out;
  snd_seq_client_info_t* ci;
  snd_seq_port_info_t* pi;
  snd_seq_client_info_alloca(&ci);
  snd_seq_port_info_alloca(&pi);
  snd_seq_client_info_set_client(ci, -1);
  while (snd_seq_query_next_client(seq, ci) >= 0) {
    const int c = snd_seq_client_info_get_client(ci);
    snd_seq_port_info_set_client(pi, c);
    snd_seq_port_info_set_port(pi, -1);
    while (snd_seq_query_next_port(seq, pi) >= 0)
      out.push_back({c, snd_seq_port_info_get_port(pi), snd_seq_client_info_get_name(ci),
                     snd_seq_port_info_get_name(pi), snd_seq_port_info_get_capability(pi)});
  }
  return out;
}

bool try_alsa(Player& player, std::string* why) {
  snd_lib_error_set_handler(quiet_alsa);
  snd_seq_t* seq = nullptr;
  if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, 0) < 0) {
    *why = "the ALSA sequencer can't be opened";
    return false;
  }
  snd_seq_set_client_name(seq, "tev-synth-connect");
  std::set<std::pair<int, int>> before;
  for (const SeqPort& p : seq_ports(seq)) before.insert({p.client, p.port});
  if (!open_rtmidi(RtMidi::LINUX_ALSA, player, why)) {
    snd_seq_close(seq);
    return false;
  }
  const std::vector<SeqPort> now = seq_ports(seq);
  const SeqPort* ours = nullptr;
  for (const SeqPort& p : now)
    if (!before.count({p.client, p.port}) && p.port_name == kPort) ours = &p;
  std::vector<std::string> connected;
  const int self = snd_seq_client_id(seq);
  snd_seq_port_subscribe_t* sub;
  snd_seq_port_subscribe_alloca(&sub);
  for (const SeqPort& p : now) {
    const unsigned readable = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
    if (!ours || p.client == ours->client || p.client == self ||
        p.client == SND_SEQ_CLIENT_SYSTEM || (p.caps & readable) != readable ||
        (p.caps & SND_SEQ_PORT_CAP_NO_EXPORT))
      continue;
    const snd_seq_addr_t from{static_cast<unsigned char>(p.client),
                              static_cast<unsigned char>(p.port)};
    const snd_seq_addr_t to{static_cast<unsigned char>(ours->client),
                            static_cast<unsigned char>(ours->port)};
    snd_seq_port_subscribe_set_sender(sub, &from);
    snd_seq_port_subscribe_set_dest(sub, &to);
    if (snd_seq_subscribe_port(seq, sub) == 0)
      connected.push_back(std::to_string(p.client) + ":" + std::to_string(p.port) + " (" +
                          p.client_name + ":" + p.port_name + ")");
  }
  snd_seq_close(seq);
  const std::string where =
      ours ? " (" + std::to_string(ours->client) + ":" + std::to_string(ours->port) + ")" : "";
  std::printf("MIDI: ALSA sequencer, port %s:%s%s, connected from %s\n", kClient, kPort,
              where.c_str(),
              connected.empty() ? "nothing (connect a keyboard with aconnect)"
                                : joined(connected).c_str());
  return true;
}

}  // namespace

bool start_midi_input(Player& player) {
  bool ok = try_jack(player);
  if (!ok) {
    std::string why;
    ok = try_alsa(player, &why);
    if (!ok)
      std::printf("MIDI: no MIDI system is available (no JACK server is running and %s); "
                  "playing from the keys only\n", why.c_str());
  }
  std::fflush(stdout);
  return ok && g_input;
}
