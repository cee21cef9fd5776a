#include "host/midi_file.h"

#include <smf.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// libsmf reports through GLib's log: errors as criticals, damage it works around
// as warnings. The bytes it is given are already tidied, so either means the file
// is unfit.
struct LogCapture {
  std::string first;
  bool failed = false;
};

void capture_log(const gchar*, GLogLevelFlags level, const gchar* message, gpointer data) {
  auto* c = static_cast<LogCapture*>(data);
  if (!(level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING))) return;
  std::string m = message ? message : "";
  for (const char* prefix : {"SMF error: ", "SMF warning: "})
    if (m.compare(0, std::strlen(prefix), prefix) == 0) m.erase(0, std::strlen(prefix));
  if (!c->failed) c->first = m;
  c->failed = true;
}

bool read_all(const std::string& path, std::vector<unsigned char>* bytes, std::string* why) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    *why = std::strerror(errno);
    return false;
  }
  unsigned char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes->insert(bytes->end(), buf, buf + n);
  const bool ok = !std::ferror(f);
  if (!ok) *why = std::strerror(errno ? errno : EIO);
  std::fclose(f);
  return ok;
}

uint32_t be32(const unsigned char* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

enum Kind { kUnknownChunk, kRunningStatus, kTrailing, kSystemStatus, kCutShort, kTrackCount, kLongHeader, kKinds };

// Rewrites a file into one libsmf reads without surprises: the header, then every
// track with only its channel messages (status byte always written), tempo changes
// and End of Track; unknown chunks and trailing bytes are left out. libsmf trusts
// chunk lengths and reads past the end of a damaged track, so it only ever sees
// these bytes.
class Tidy {
 public:
  Tidy(const unsigned char* b, size_t n, std::vector<MidiFileRepair>* repairs)
      : b_(b), n_(n), repairs_(repairs) {}

  bool run(std::vector<unsigned char>* out, std::string* why) {
    if (n_ < 4 || std::memcmp(b_, "MThd", 4) != 0) {
      *why = "not a Standard MIDI File (it does not begin with MThd)";
      return false;
    }
    if (n_ < 8 || be32(b_ + 4) > n_ - 8) {
      *why = "cut short: the chunk at byte 0 needs " +
             (n_ < 8 ? std::string("an 8-byte header")
                     : std::to_string(be32(b_ + 4)) + " bytes") +
             ", the file has " + std::to_string(n_ < 8 ? n_ : n_ - 8) + " left";
      return false;
    }
    // The header is checked here, not by libsmf: libsmf keeps what it allocated when
    // it refuses one.
    const uint32_t hlen = be32(b_ + 4);
    if (hlen < 6) {
      *why = "damaged header: " + std::to_string(hlen) + " bytes where 6 belong";
      return false;
    }
    const unsigned format = unsigned{b_[8]} << 8 | b_[9], division = unsigned{b_[12]} << 8 | b_[13];
    if (format > 2) {
      *why = "bad MThd format field value: " + std::to_string(format) +
             ", valid values are 0-2, inclusive.";
      return false;
    }
    if (format == 2) {
      // Independent sequences, not parts of one song.
      *why = "format 2 (independent sequences) is not played; formats 0 and 1 are";
      return false;
    }
    if (division == 0 || division & 0x8000) {
      *why = division ? "time in SMPTE frames is not played; pulses per quarter note are"
                      : "the header gives 0 pulses per quarter note";
      return false;
    }
    out_ = out;
    out->assign(b_, b_ + 14);
    for (int i = 4; i < 8; i++) (*out)[i] = i == 7 ? 6 : 0;  // the 6 bytes read
    const size_t header = 8 + size_t{hlen};
    if (hlen > 6)
      note(kLongHeader, 14, "ignored " + std::to_string(hlen - 6) + " bytes at the end of the header");
    size_t tracks = 0;
    size_t at = header;
    while (at < n_) {
      const size_t left = n_ - at;
      if (left < 8) {
        note(kTrailing, at, "ignored " + std::to_string(left) + " byte" + (left == 1 ? "" : "s") +
                                " after the last chunk");
        break;
      }
      const uint32_t len = be32(b_ + at + 4);
      const bool cut = len > left - 8;
      // Past 65535 tracks (the header's count) the rest is skipped too.
      if (std::memcmp(b_ + at, "MTrk", 4) != 0 || tracks == 65535) {
        if (cut) {
          note(kTrailing, at, "ignored " + std::to_string(left) + " bytes after the last chunk");
          break;
        }
        std::string type;
        for (int i = 0; i < 4; i++)
          type += b_[at + i] >= 0x20 && b_[at + i] < 0x7F ? static_cast<char>(b_[at + i]) : '?';
        note(kUnknownChunk, at, "skipped a chunk of unknown type '" + type + "'");
      } else {
        track(at, cut ? left - 8 : len, cut ? len : 0);
        tracks++;
      }
      if (cut) break;
      at += 8 + size_t{len};
    }
    if (tracks == 0) {
      *why = "no track (MTrk chunk) in the file";
      return false;
    }
    const size_t said = size_t{b_[10]} << 8 | b_[11];
    if (said != tracks)
      note(kTrackCount, 10,
           "the header announces " + std::to_string(said) + " track" + (said == 1 ? "" : "s") +
               ", the file has " + std::to_string(tracks));
    (*out)[10] = static_cast<unsigned char>(tracks >> 8);
    (*out)[11] = static_cast<unsigned char>(tracks);
    return true;
  }

 private:
  void note(Kind k, size_t offset, const std::string& what) {
    if (seen_[k]) {
      (*repairs_)[seen_[k] - 1].times++;
      return;
    }
    repairs_->push_back({offset, what, 1});
    seen_[k] = repairs_->size();
  }

  // Delta times of the events left out are carried to the next one written; an
  // empty text event carries what one delta can't hold.
  void put_delta() {
    while (delta_ > 0x0FFFFFFF) {
      put_delta(0x0FFFFFFF);
      out_->insert(out_->end(), {0xFF, 0x01, 0x00});
      delta_ -= 0x0FFFFFFF;
    }
    put_delta(static_cast<uint32_t>(delta_));
    delta_ = 0;
  }
  void put_delta(uint32_t v) {
    unsigned char tmp[4];
    int k = 0;
    do {
      tmp[k++] = static_cast<unsigned char>(v & 0x7F);
      v >>= 7;
    } while (v);
    while (k > 1) out_->push_back(tmp[--k] | 0x80);
    out_->push_back(tmp[0]);
  }

  // One track chunk at `at` with `len` bytes present; `wanted` is the length the
  // chunk claims when the file ends before it.
  void track(size_t at, size_t len, uint32_t wanted) {
    const size_t start = out_->size();
    out_->insert(out_->end(), {'M', 'T', 'r', 'k', 0, 0, 0, 0});
    const unsigned char* p = b_ + at + 8;
    size_t i = 0;
    delta_ = 0;
    // A track longer than this runs past every render; libsmf counts pulses in an int.
    uint64_t pulses = 0;
    auto vlq = [&](uint32_t* v) {
      *v = 0;
      for (int k = 0; k < 4 && i < len; k++) {
        const unsigned char c = p[i++];
        *v = *v << 7 | (c & 0x7Fu);
        if (!(c & 0x80)) return true;
      }
      return false;
    };
    unsigned char running = 0;
    bool resumed_ok = true;  // false after a meta event or SysEx
    std::string damage;
    size_t damage_at = 0;
    while (true) {
      uint32_t d;
      const size_t event_at = i;
      if (i >= len) {
        damage = "without its End of Track event";
        damage_at = i;
        break;
      }
      if (!vlq(&d) || i >= len) {
        damage = i >= len ? "inside an event" : "at a delta time longer than four bytes";
        damage_at = event_at;
        break;
      }
      delta_ += d;
      pulses += d;
      if (pulses > 0x3FFFFFFF) {
        damage = "past 2^30 pulses, later than anything played";
        damage_at = event_at;
        break;
      }
      unsigned char status = p[i];
      if (status & 0x80) {
        i++;
      } else if (running) {
        status = running;
        if (!resumed_ok)
          note(kRunningStatus, at + 8 + i, "running status resumed after a meta event or SysEx");
      } else {
        damage = "at a data byte where a status byte belongs";
        damage_at = i;
        break;
      }
      if (status < 0xF0) {
        const size_t data = (status & 0xE0) == 0xC0 ? 1 : 2;  // program change, pressure: one
        if (len - i < data || (p[i] & 0x80) || (data == 2 && (p[i + 1] & 0x80))) {
          damage = len - i < data ? "inside an event" : "at a status byte where a data byte belongs";
          damage_at = i;
          break;
        }
        put_delta();
        out_->push_back(status);
        out_->insert(out_->end(), p + i, p + i + data);
        i += data;
        running = status;
        resumed_ok = true;
        continue;
      }
      if (status == 0xFF || status == 0xF0 || status == 0xF7) {
        unsigned char type = 0;
        uint32_t n;
        if (status == 0xFF && i < len) type = p[i++];
        if (i >= len || !vlq(&n) || n > len - i) {
          damage = "inside an event";
          damage_at = event_at;
          break;
        }
        if (status == 0xFF && type == 0x2F) {
          put_delta();
          out_->insert(out_->end(), {0xFF, 0x2F, 0x00});
          break;
        }
        if (status == 0xFF && type == 0x51 && n == 3) {
          put_delta();
          out_->insert(out_->end(), {0xFF, 0x51, 0x03});
          out_->insert(out_->end(), p + i, p + i + 3);
        }
        i += n;
        resumed_ok = false;
        continue;
      }
      // System common and real-time bytes belong on a cable, not in a file: skipped
      // with the data bytes they carry there. Running status carries on past them.
      const size_t data = status == 0xF2 ? 2 : status == 0xF1 || status == 0xF3 ? 1 : 0;
      char hex[8];
      std::snprintf(hex, sizeof hex, "0x%02X", status);
      note(kSystemStatus, at + 8 + i - 1,
           std::string("skipped a system status byte (") + hex + " first) inside a track");
      if (len - i < data) {
        damage = "inside an event";
        damage_at = i;
        break;
      }
      i += data;
    }
    if (!damage.empty()) {
      put_delta();
      out_->insert(out_->end(), {0xFF, 0x2F, 0x00});
      if (wanted)
        note(kCutShort, at,
             "cut short: this track's chunk claims " + std::to_string(wanted) +
                 " bytes, the file holds " + std::to_string(len) +
                 " of them; played up to the end of the file");
      else
        note(kCutShort, at + 8 + damage_at,
             "damaged track: it ends " + damage + "; played up to here");
    }
    const uint32_t size = static_cast<uint32_t>(out_->size() - start - 8);
    for (int k = 0; k < 4; k++) (*out_)[start + 4 + k] = static_cast<unsigned char>(size >> (24 - 8 * k));
  }

  const unsigned char* b_;
  size_t n_;
  std::vector<MidiFileRepair>* repairs_;
  std::vector<unsigned char>* out_ = nullptr;
  uint64_t delta_ = 0;
  size_t seen_[kKinds] = {};  // 1 + index in repairs_ of each kind noted
};

}  // namespace

bool read_midi_bytes(const unsigned char* data, size_t size, int rate,
                     std::vector<MidiFileEvent>* events, std::vector<MidiFileRepair>* repairs,
                     std::string* why) {
  repairs->clear();
  if (size == 0) {
    *why = "the file is empty";
    return false;
  }
  std::vector<unsigned char> bytes;
  if (!Tidy(data, size, repairs).run(&bytes, why)) return false;
  if (bytes.size() > INT32_MAX) {
    *why = "the file is larger than 2 GB";
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

bool read_midi_file(const std::string& path, int rate, std::vector<MidiFileEvent>* events,
                    std::vector<MidiFileRepair>* repairs, std::string* why) {
  std::vector<unsigned char> bytes;
  repairs->clear();
  if (!read_all(path, &bytes, why)) return false;
  return read_midi_bytes(bytes.data(), bytes.size(), rate, events, repairs, why);
}
