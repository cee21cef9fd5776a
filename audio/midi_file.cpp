#include "audio/midi_file.h"

#include <smf.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// libsmf reports through GLib's log: errors as criticals, damage it works around
// (a cut-short track, missing tracks) as warnings. Both make the file unfit: a
// render of half a song must not pass for the song.
struct LogCapture {
  std::string first;
  bool failed = false;
};

void capture_log(const gchar*, GLogLevelFlags level, const gchar* message, gpointer data) {
  auto* c = static_cast<LogCapture*>(data);
  if (!(level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING))) return;
  std::string m = message ? message : "";
  // Chunks of unknown type are allowed and skipped.
  if (m.find("ignoring this chunk") != std::string::npos) return;
  for (const char* prefix : {"SMF error: ", "SMF warning: "})
    if (m.compare(0, std::strlen(prefix), prefix) == 0) m.erase(0, std::strlen(prefix));
  if (!c->failed) c->first = m;
  c->failed = true;
}

bool read_all(const std::string& path, std::vector<char>* bytes, std::string* why) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    *why = std::strerror(errno);
    return false;
  }
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes->insert(bytes->end(), buf, buf + n);
  const bool ok = !std::ferror(f);
  if (!ok) *why = std::strerror(errno ? errno : EIO);
  std::fclose(f);
  return ok;
}

}  // namespace

bool read_midi_file(const std::string& path, int rate, std::vector<MidiFileEvent>* events,
                    std::string* why) {
  std::vector<char> bytes;
  if (!read_all(path, &bytes, why)) return false;
  if (bytes.empty()) {
    *why = "the file is empty";
    return false;
  }
  LogCapture log;
  const GLogFunc before = g_log_set_default_handler(capture_log, &log);
  smf_t* smf = smf_load_from_memory(bytes.data(), static_cast<int>(bytes.size()));
  g_log_set_default_handler(before, nullptr);
  if (!smf || log.failed) {
    *why = log.first.empty() ? "not a Standard MIDI File" : log.first;
    if (smf) smf_delete(smf);
    return false;
  }
  if (smf->format == 2) {
    // Independent sequences, not parts of one song.
    *why = "format 2 (independent sequences) is not played; formats 0 and 1 are";
    smf_delete(smf);
    return false;
  }
  events->clear();
  smf_rewind(smf);
  while (smf_event_t* e = smf_get_next_event(smf)) {
    if (smf_event_is_metadata(e) || e->midi_buffer_length < 1) continue;
    const uint8_t status = e->midi_buffer[0];
    if (status < 0x80 || status >= 0xF0) continue;  // system messages play nothing here
    MidiFileEvent m{};
    m.frame = static_cast<int64_t>(std::llround(e->time_seconds * rate));
    m.len = static_cast<uint8_t>(e->midi_buffer_length < 3 ? e->midi_buffer_length : 3);
    std::memcpy(m.msg, e->midi_buffer, m.len);
    events->push_back(m);
  }
  smf_delete(smf);
  return true;
}
