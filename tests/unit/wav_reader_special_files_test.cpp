// A sampler's file may be anything a patch names: what is not a regular file is
// refused at once, without blocking and without reading.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "patch/wav_reader.h"
#include "engine/sampler.h"
#include "patch_fixture.h"

namespace {

struct SamplerDeleter {
  void operator()(SAMPLER* s) const {
    s->~SAMPLER();
    SAMPLER::operator delete(s);
  }
};

TEST(WavReaderSpecialFiles, RefusedWithoutBlockingOrReading) {
  TempDir dir;
  const std::string fifo = dir.file("pipe.wav");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    const char* name;
    std::string path;
  };
  const Case cases[] = {
      {"a FIFO no one writes to (open would wait for a writer)", fifo},
      {"an endless device", "/dev/urandom"},
      {"a device of zeros", "/dev/zero"},
      {"a directory", dir.path()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<SAMPLER, SamplerDeleter> s(new SAMPLER());
    s->samples[0] = 1234;
    s->length = 77;
    std::string path = c.path;
    ::testing::internal::CaptureStdout();
    const size_t copied = LoadToWav(s->samples, path.c_str());
    s->load_SAMPLE(&path[0]);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(copied, 0u);
    EXPECT_EQ(s->samples[0], 1234) << "the buffer must stay as it was";
    EXPECT_EQ(s->length, 0);
    EXPECT_EQ(s->sample_handle, nullptr);
    EXPECT_NE(out.find("Error load [" + c.path + "]: not a regular file\n"), std::string::npos)
        << out;
  }
}

}  // namespace
