// Any bytes as the settings file: reading never fails or reads out of
// bounds, and the window placement made from it is always sound.
#include <cstddef>
#include <cstdint>
#include <string>

#include "global.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorvex;
  TOptions o{TOptions::TNoFile{}};
  o.LoadFromText(std::string(reinterpret_cast<const char*>(data), size), size % 2 ? 144 : 96);
  const TkvSize min = MainMinSize(96);
  for (const auto& monitors : {std::vector<TkvRect>{}, std::vector<TkvRect>{{0, 0, 1920, 1080}, {-1280, 0, 0, 1024}}}) {
    const TkvFormPlacement p = o.ApplyTo(monitors, min);
    if (p.Bounds.Width() < min.Width || p.Bounds.Height() < min.Height) __builtin_trap();
    if (p.Bounds.Left < -32767 || p.Bounds.Right > 2 * 32767) __builtin_trap();
  }
  // Whatever was read writes back and reads again to the same values.
  TOptions again{TOptions::TNoFile{}};
  again.LoadFromText(o.SaveToText());
  if (again.SaveToText() != o.SaveToText()) __builtin_trap();
  return 0;
}
