#include "JpegImage.h"

#include <csetjmp>
#include <cstdio>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

namespace update {

namespace {

// Far more than a window's background needs; a damaged header cannot make the
// decoder ask for gigabytes.
constexpr unsigned long long MaxPixels = 16ull * 1024 * 1024;

// libjpeg's own error handler ends the process; this one returns to the
// decoder instead. libjpeg is C, so the way back is longjmp, never a C++
// exception through its frames.
struct TErrorManager {
  jpeg_error_mgr Public;
  std::jmp_buf Return;
  char Message[JMSG_LENGTH_MAX];
};

void ErrorExit(j_common_ptr info) {
  auto* manager = reinterpret_cast<TErrorManager*>(info->err);
  (*info->err->format_message)(info, manager->Message);
  std::longjmp(manager->Return, 1);
}

// Corrupt-data warnings are not worth a message box; the picture is still shown.
void OutputMessage(j_common_ptr) {}

}  // namespace

bool DecodeJpeg(const void* data, std::size_t size, TJpegImage& image, std::string* error) {
  image = TJpegImage{};
  if (data == nullptr || size == 0) {
    if (error != nullptr) *error = "no picture data";
    return false;
  }
  jpeg_decompress_struct info{};
  TErrorManager manager{};
  info.err = jpeg_std_error(&manager.Public);
  manager.Public.error_exit = ErrorExit;
  manager.Public.output_message = OutputMessage;
  // Nothing with a destructor is created between here and the decoder's end,
  // so a longjmp back here skips no clean-up.
  if (setjmp(manager.Return) != 0) {
    jpeg_destroy_decompress(&info);
    image = TJpegImage{};
    if (error != nullptr) *error = manager.Message;
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, static_cast<const unsigned char*>(data), static_cast<unsigned long>(size));
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_EXT_BGR;
  jpeg_start_decompress(&info);
  if (info.output_components != 3 ||
      static_cast<unsigned long long>(info.output_width) * info.output_height > MaxPixels) {
    jpeg_destroy_decompress(&info);
    if (error != nullptr) *error = "picture too large or not in colour";
    return false;
  }

  image.Width = static_cast<int>(info.output_width);
  image.Height = static_cast<int>(info.output_height);
  image.Stride = (image.Width * 3 + 3) & ~3;
  image.Pixels.assign(static_cast<std::size_t>(image.Stride) * static_cast<std::size_t>(image.Height), 0);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = image.Pixels.data() + static_cast<std::size_t>(info.output_scanline) * image.Stride;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

}  // namespace update
