// The version rule: components, their values, and when an update is refused.
#include <gtest/gtest.h>

#include "Functions1.h"

namespace {

TEST(DigitsToNumber, WeighsEveryCharacterAndWrapsAt16Bits) {
  EXPECT_EQ(update::DigitsToNumber(""), 0);
  EXPECT_EQ(update::DigitsToNumber("0"), 0);
  EXPECT_EQ(update::DigitsToNumber("007"), 7);
  EXPECT_EQ(update::DigitsToNumber("123"), 123);
  EXPECT_EQ(update::DigitsToNumber("65535"), 65535);
  EXPECT_EQ(update::DigitsToNumber("65536"), 0);
  EXPECT_EQ(update::DigitsToNumber("70000"), 70000 - 65536);
  // No character is rejected: "." counts -2, a letter its code minus 48.
  EXPECT_EQ(update::DigitsToNumber("3.4"), 284);
  EXPECT_EQ(update::DigitsToNumber("a"), 'a' - 48);
}

TEST(VersionPart, SplitsAtTheFirstTwoPoints) {
  struct TCase {
    const char* Version;
    unsigned A, B, C;
  };
  const TCase cases[] = {
      {"1.2.3", 1, 2, 3},       {"10.20.30", 10, 20, 30}, {"1.2", 1, 2, 0}, {"1", 1, 0, 0},
      {"", 0, 0, 0},            {"1.2.", 1, 2, 0},        {".5", 0, 5, 0},  {"1.2.3.4", 1, 2, 284},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Version);
    EXPECT_EQ(update::VersionPart(c.Version, 1), c.A);
    EXPECT_EQ(update::VersionPart(c.Version, 2), c.B);
    EXPECT_EQ(update::VersionPart(c.Version, 3), c.C);
  }
  EXPECT_EQ(update::VersionPart("1.2.3", 0), 0);
  EXPECT_EQ(update::VersionPart("1.2.3", 4), 0);
}

TEST(VersionPart, ReadsNoMoreThanTwentyCharacters) {
  // 20 characters end inside the third component: "1.2.3456789012345678".
  EXPECT_EQ(update::VersionPart("1.2.34567890123456789", 3), update::DigitsToNumber("3456789012345678"));
}

TEST(IsNotNewer, RefusesAnEqualOrNewerInstalledVersion) {
  struct TCase {
    const char* Label;
    const char* Installed;
    const char* Offered;
    bool Refused;
  };
  const TCase cases[] = {
      {"newer offered", "1.5.0", "2.0.0", false},
      {"newer patch level", "1.5.3", "1.5.4", false},
      {"newer minor with lower patch", "1.5.3", "1.6.0", false},
      {"same version", "1.5.0", "1.5.0", true},
      {"older offered", "2.0.0", "1.5.0", true},
      {"older minor with higher patch", "1.6.0", "1.5.9", true},
      {"numbers, not text", "1.10.0", "1.9.0", true},
      {"numbers, not text, the other way", "1.9.0", "1.10.0", false},
      {"missing component counts 0", "1.2", "1.2.0", true},
      {"nothing installed counts 0.0.0", "", "0.0.1", false},
      {"nothing installed against 0.0.0", "", "0.0.0", true},
      {"no offered version", "", "", true},
      {"no offered version against an installed one", "3.0.0", "", true},
      {"any version", "9.9.9", "*", false},
      {"any version against nothing", "", "*", false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Label);
    update::TUpdateData data;
    data.InstalledVersion = c.Installed;
    data.UpdateVersion = c.Offered;
    EXPECT_EQ(update::IsNotNewer(data), c.Refused) << c.Installed << " installed, " << c.Offered << " offered";
  }
}

}  // namespace
