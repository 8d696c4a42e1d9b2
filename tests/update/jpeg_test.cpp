// The background picture: decoded from the program's resources, and damaged
// pictures that must not end the program.
#include <gtest/gtest.h>

#include <string>

#include "JpegImage.h"
#include "kvplatform.h"

namespace {

std::string Background() {
  kv::TkvHost& host = kv::Host();
  kv::HRSRC resource = host.FindResourceA(nullptr, "UPDATEBACKGROUND", kv::RT_RCDATA);
  if (resource == nullptr) return {};
  const void* data = host.LockResource(host.LoadResource(nullptr, resource));
  return data ? std::string(static_cast<const char*>(data), host.SizeofResource(nullptr, resource)) : std::string();
}

TEST(DecodeJpeg, TurnsTheBackgroundIntoATopDownDibOfTheWindowsSize) {
  const std::string jpeg = Background();
  ASSERT_FALSE(jpeg.empty()) << "the test program carries no background picture";
  update::TJpegImage image;
  std::string error;
  ASSERT_TRUE(update::DecodeJpeg(jpeg.data(), jpeg.size(), image, &error)) << error;
  EXPECT_EQ(image.Width, 540);
  EXPECT_EQ(image.Height, 378);
  EXPECT_EQ(image.Stride % 4, 0);
  EXPECT_GE(image.Stride, image.Width * 3);
  ASSERT_EQ(image.Pixels.size(), static_cast<std::size_t>(image.Stride) * image.Height);
  // A dark blue gradient, darker at the top: blue outweighs red, and the
  // first row is darker than the last (bytes are blue, green, red).
  const auto brightness = [&](int x, int y) {
    const std::uint8_t* p = &image.Pixels[static_cast<std::size_t>(y) * image.Stride + x * 3];
    return p[0] + p[1] + p[2];
  };
  const std::uint8_t* topLeft = image.Pixels.data();
  EXPECT_GT(topLeft[0], topLeft[2]);
  EXPECT_LT(brightness(10, 0), brightness(10, image.Height - 1));
}

TEST(DecodeJpeg, DamagedPicturesFailWithoutEndingTheProgram) {
  const std::string jpeg = Background();
  ASSERT_GT(jpeg.size(), 1000u);
  struct TCase {
    const char* Label;
    std::string Data;
  };
  std::string badMarker = jpeg;
  badMarker[1] = 'x';  // no start-of-image marker
  const TCase cases[] = {
      {"nothing", ""},
      {"not a picture", "Update.inf is no JPEG at all"},
      {"no start marker", badMarker},
      {"only the header", jpeg.substr(0, 20)},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Label);
    update::TJpegImage image;
    image.Width = 1;
    std::string error;
    EXPECT_FALSE(update::DecodeJpeg(c.Data.data(), c.Data.size(), image, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(image.Width, 0);
    EXPECT_TRUE(image.Pixels.empty());
  }
}

TEST(DecodeJpeg, ATruncatedPictureIsStillShownInFullSize) {
  // libjpeg fills what is missing; the window keeps its size and picture.
  const std::string jpeg = Background();
  const std::string half = jpeg.substr(0, jpeg.size() / 2);
  update::TJpegImage image;
  ASSERT_TRUE(update::DecodeJpeg(half.data(), half.size(), image));
  EXPECT_EQ(image.Width, 540);
  EXPECT_EQ(image.Height, 378);
}

}  // namespace
