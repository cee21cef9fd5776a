// WAV sample reading: bytes after the 44-byte header land in the sampler's buffer
// unchanged; the sampler's length comes from the sound layer in frames.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "audio/fsound.h"
#include "patch/wav_reader.h"
#include "engine/sampler.h"
#include "tests/unit/patch_fixture.h"

namespace {

void put16(std::vector<unsigned char>& b, unsigned v) {
  b.push_back(v & 0xff);
  b.push_back((v >> 8) & 0xff);
}
void put32(std::vector<unsigned char>& b, uint32_t v) {
  for (int i = 0; i < 4; i++) b.push_back((v >> (8 * i)) & 0xff);
}
void tag(std::vector<unsigned char>& b, const char* t) { b.insert(b.end(), t, t + 4); }

// A PCM WAV file; `extra` is a chunk written between "fmt " and "data".
std::vector<unsigned char> wav(int channels, int bits, const std::vector<unsigned char>& data,
                               const std::vector<unsigned char>& extra = {}) {
  std::vector<unsigned char> b;
  tag(b, "RIFF");
  put32(b, static_cast<uint32_t>(36 + extra.size() + data.size()));
  tag(b, "WAVE");
  tag(b, "fmt ");
  put32(b, 16);
  put16(b, 1);
  put16(b, channels);
  put32(b, 44100);
  put32(b, 44100 * channels * bits / 8);
  put16(b, channels * bits / 8);
  put16(b, bits);
  b.insert(b.end(), extra.begin(), extra.end());
  tag(b, "data");
  put32(b, static_cast<uint32_t>(data.size()));
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

std::vector<unsigned char> samples16(const std::vector<int16_t>& v) {
  std::vector<unsigned char> b;
  for (int16_t s : v) put16(b, static_cast<uint16_t>(s));
  return b;
}

struct Buffer {
  std::unique_ptr<int16_t[]> p{new int16_t[64]};
  Buffer() {
    for (int i = 0; i < 64; i++) p[i] = 0x5a5a;
  }
};

std::string read_into(Buffer& buf, const std::string& path, size_t* copied) {
  ::testing::internal::CaptureStdout();
  *copied = LoadToWav(buf.p.get(), path.c_str());
  std::fflush(stdout);
  return ::testing::internal::GetCapturedStdout();
}

TEST(WavReader, CopiesTheDataBytesAndNothingAfter) {
  const std::vector<int16_t> mono = {0, 1000, -1000, 32767, -32768, 7};
  std::vector<unsigned char> list;  // a LIST chunk of 8 + 4 bytes before "data"
  tag(list, "LIST");
  put32(list, 4);
  tag(list, "INFO");
  const struct {
    const char* what;
    std::vector<unsigned char> file;
    std::vector<int16_t> want;  // buffer from index 0; the rest keeps 0x5a5a
  } cases[] = {
      {"16-bit mono", wav(1, 16, samples16(mono)), mono},
      {"16-bit stereo keeps left and right interleaved", wav(2, 16, samples16({1, -1, 2, -2})),
       {1, -1, 2, -2}},
      {"8-bit data is copied byte for byte, two samples per value",
       wav(1, 8, {0x80, 0x7f, 0x01, 0xff}), {0x7f80, static_cast<int16_t>(0xff01)}},
      // Bytes 36..43 are "LIST" and its size 4: four bytes from offset 44 are copied,
      // "INFO" itself.
      {"a chunk before data is taken for the data header", wav(1, 16, samples16({9, 9}), list),
       {static_cast<int16_t>('I' | 'N' << 8), static_cast<int16_t>('F' | 'O' << 8)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string path = dir.write_bytes("s.wav", c.file);
    Buffer buf;
    size_t copied = 0;
    EXPECT_EQ(read_into(buf, path, &copied), "");
    EXPECT_EQ(copied, c.want.size() * 2);
    for (size_t i = 0; i < c.want.size(); i++) EXPECT_EQ(buf.p[i], c.want[i]) << i;
    for (size_t i = c.want.size(); i < 64; i++) EXPECT_EQ(buf.p[i], 0x5a5a) << i;
  }
}

TEST(WavReader, BadFilesAreReportedAndCopyNothing) {
  TempDir dir;
  std::vector<unsigned char> header = wav(1, 16, samples16({1, 2, 3}));
  std::vector<unsigned char> short_file(header.begin(), header.begin() + 30);
  std::vector<unsigned char> cut(header.begin(), header.begin() + 46);  // one value of three
  const std::string missing = dir.file("nothing.wav");
  const std::string tiny = dir.write_bytes("tiny.wav", short_file);
  const std::string ends = dir.write_bytes("ends.wav", cut);
  const struct {
    const char* what;
    std::string path;
    std::string message;
    size_t copied;
  } cases[] = {
      {"missing", missing, "Error load [" + missing + "]\n", 0},
      {"shorter than its header", tiny,
       "Error load [" + tiny + "]: file ends inside its 44-byte header\n", 0},
      {"ends inside its data: a shorter copy", ends, "", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Buffer buf;
    size_t copied = 99;
    EXPECT_EQ(read_into(buf, c.path, &copied), c.message);
    EXPECT_EQ(copied, c.copied);
    for (size_t i = c.copied / 2; i < 64; i++) EXPECT_EQ(buf.p[i], 0x5a5a) << i;
  }
}

TEST(WavReader, DataLargerThanTheSamplerKeepsTheFirst16MB) {
  TempDir dir;
  // The header claims 20,000,000 bytes; the file holds 16,000,010.
  std::vector<unsigned char> f = wav(1, 16, {});
  f[40] = 20000000 & 0xff;
  f[41] = (20000000 >> 8) & 0xff;
  f[42] = (20000000 >> 16) & 0xff;
  f[43] = (20000000 >> 24) & 0xff;
  f.resize(44 + 16000010, 0x11);
  const std::string path = dir.write_bytes("big.wav", f);
  std::unique_ptr<int16_t[]> buf(new int16_t[8000001]);
  buf[8000000] = 0x2222;
  ::testing::internal::CaptureStdout();
  const size_t copied = LoadToWav(buf.get(), path.c_str());
  std::fflush(stdout);
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "Error load [" + path +
                     "]: 20000000 bytes of data, only the first 16000000 fit the sampler\n");
  EXPECT_EQ(copied, 16000000u);
  EXPECT_EQ(buf[7999999], 0x1111);
  EXPECT_EQ(buf[8000000], 0x2222);
}

TEST(WavReader, SamplerLengthIsDataSizeOverBlockAlign) {
  const struct {
    const char* what;
    int channels, bits;
    size_t bytes;
    int frames;
  } cases[] = {
      {"16-bit mono", 1, 16, 2000, 1000},
      {"16-bit stereo", 2, 16, 4000, 1000},
      {"8-bit mono", 1, 8, 300, 300},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string path =
        dir.write_bytes("s.wav", wav(c.channels, c.bits, std::vector<unsigned char>(c.bytes, 3)));
    std::unique_ptr<FSOUND_SAMPLE> h(FSOUND_Sample_Load(0, path.c_str(), 8192, 0, 0));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(FSOUND_Sample_GetLength(h.get()), c.frames);

    ::testing::internal::CaptureStdout();
    std::unique_ptr<SAMPLER> s(new SAMPLER());
    std::vector<char> p(path.begin(), path.end());
    p.push_back('\0');
    s->load_SAMPLE(p.data());
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(s->length, c.frames);
    EXPECT_NE(s->sample_handle, nullptr);
    EXPECT_EQ(s->samples[0], 0x0303);
  }
}

TEST(WavReader, SamplerLineWithAMissingFileLoadsSilentAndSaysSo) {
  TempDir dir;
  Loaded r = load_text(dir, "SAMPLER1;*FILE=/nonexistent/x.wav;\n");
  EXPECT_NE(r.out.find("paramSET : [*FILE=/nonexistent/x.wav]\nError load [/nonexistent/x.wav]\n"),
            std::string::npos)
      << r.out;
  ASSERT_EQ(r.g->nbr_sampler, 1);
  EXPECT_EQ(r.g->liste_sampler[0]->length, 0);
  EXPECT_EQ(r.g->liste_sampler[0]->sample_handle, nullptr);
}

}  // namespace
