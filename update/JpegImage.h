// The main window's background picture is a JPEG carried in the program's
// resources; this turns it into pixels that a DIB can show.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace update {

struct TJpegImage {
  int Width = 0;
  int Height = 0;
  // Rows top-down, 3 bytes per pixel in blue-green-red order, each row padded
  // to a multiple of 4 bytes: the layout of a 24-bit top-down DIB.
  int Stride = 0;
  std::vector<std::uint8_t> Pixels;
};

// Decodes a JPEG held in memory. A damaged or truncated picture never ends the
// program: the result is false and *error says why.
bool DecodeJpeg(const void* data, std::size_t size, TJpegImage& image, std::string* error = nullptr);

}  // namespace update
