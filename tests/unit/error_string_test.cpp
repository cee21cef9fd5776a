#include <gtest/gtest.h>

#include <string>

#include "audio/fsound.h"

namespace {

struct ErrorCase {
  int code;
  const char* message;
};

TEST(ErrorString, EdgesOfTheTable) {
  const ErrorCase cases[] = {
      {0, "No errors"},
      {2, "This command failed because FSOUND_Init was not called"},
      {3, "Error initializing output device."},
      {12, "Not enough memory "},  // the trailing blank belongs to the message
      {14, "An invalid parameter was passed to this function"},
      {18, "Required Mediaplayer codec is not installed"},
      {19, "Unknown error"},
      {-1, "Unknown error"},
      {-2147483647 - 1, "Unknown error"},
      {2147483647, "Unknown error"},
  };
  for (const ErrorCase& c : cases) {
    EXPECT_EQ(std::string(FMOD_ErrorString(c.code)), c.message) << "code " << c.code;
  }
}

}  // namespace
