#include "host/midi_file.h"

#include <smf.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

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

uint32_t be32(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return uint32_t{u[0]} << 24 | uint32_t{u[1]} << 16 | uint32_t{u[2]} << 8 | u[3];
}

// Walks one track's events to its End of Track: false when an event runs past
// the chunk, a length needs more than four bytes, a status byte is missing or
// unknown, or the track never ends.
bool check_track(const unsigned char* p, size_t n, std::string* why) {
  size_t at = 0;
  auto vlq = [&](uint32_t* v) {
    *v = 0;
    for (int i = 0; i < 4; i++) {
      if (at >= n) return false;
      const unsigned char c = p[at++];
      *v = *v << 7 | (c & 0x7Fu);
      if (!(c & 0x80)) return true;
    }
    return false;
  };
  unsigned char running = 0;
  uint32_t len;
  while (at < n) {
    if (!vlq(&len) || at >= n) break;
    unsigned char status = p[at];
    if (status & 0x80)
      at++;
    else if (running)
      status = running;
    else {
      *why = "a data byte where a status byte belongs, at byte " + std::to_string(at);
      return false;
    }
    if (status < 0xF0) {
      running = status;
      const size_t data = (status & 0xE0) == 0xC0 ? 1 : 2;  // program change, pressure: one
      if (n - at < data) break;
      at += data;
      continue;
    }
    running = 0;
    const bool meta = status == 0xFF;
    if (status != 0xF0 && status != 0xF7 && !meta) {
      *why = "unknown status byte in a track";
      return false;
    }
    unsigned char type = 0;
    if (meta) {
      if (at >= n) break;
      type = p[at++];
    }
    if (!vlq(&len) || len > n - at) break;
    at += len;
    if (meta && type == 0x2F) return true;
  }
  *why = "cut short: a track ends without its End of Track event";
  return false;
}

// libsmf trusts chunk lengths and track contents and reads past the end of a
// damaged file, so the layout is checked before it sees the bytes.
bool check_chunks(const std::vector<char>& b, std::string* why) {
  if (b.size() < 4 || std::memcmp(b.data(), "MThd", 4) != 0) {
    *why = "not a Standard MIDI File (it does not begin with MThd)";
    return false;
  }
  size_t at = 0;
  while (at < b.size()) {
    const size_t left = b.size() - at;
    if (left < 8 || be32(b.data() + at + 4) > left - 8) {
      *why = "cut short: the chunk at byte " + std::to_string(at) + " needs " +
             (left < 8 ? std::string("an 8-byte header")
                       : std::to_string(be32(b.data() + at + 4)) + " bytes") +
             ", the file has " + std::to_string(left < 8 ? left : left - 8) + " left";
      return false;
    }
    const uint32_t len = be32(b.data() + at + 4);
    if (std::memcmp(b.data() + at, "MTrk", 4) == 0 &&
        !check_track(reinterpret_cast<const unsigned char*>(b.data()) + at + 8, len, why))
      return false;
    at += 8 + len;
  }
  return true;
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
  if (!check_chunks(bytes, why)) return false;
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
    // Long pauses at a slow tempo can add up past any render; keep within int64.
    const double f = std::round(e->time_seconds * rate);
    m.frame = f < 1e18 ? static_cast<int64_t>(f) : static_cast<int64_t>(1e18);
    m.len = static_cast<uint8_t>(e->midi_buffer_length < 3 ? e->midi_buffer_length : 3);
    std::memcpy(m.msg, e->midi_buffer, m.len);
    events->push_back(m);
  }
  smf_delete(smf);
  return true;
}
