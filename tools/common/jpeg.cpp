#include "common/jpeg.hpp"

#include <turbojpeg.h>

#include <memory>
#include <stdexcept>

namespace strovix::tools {

std::string encode_jpeg(const Image& image, int quality) {
  if (!image.data || image.width <= 0 || image.height <= 0 ||
      image.channels != channels_of(image.format) ||
      image.stride < static_cast<std::size_t>(image.width) * image.channels) {
    throw std::runtime_error(std::string("the frame is not a ") + to_string(image.format) +
                             " image");
  }
  const bool gray = image.format == PixelFormat::GRAY8;
  const int pixel_format = gray                               ? TJPF_GRAY
                           : image.format == PixelFormat::RGB ? TJPF_RGB
                                                              : TJPF_BGR;
  std::unique_ptr<void, int (*)(tjhandle)> handle(tjInitCompress(), tjDestroy);
  if (!handle) throw std::runtime_error("cannot start the JPEG encoder");
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  const int failed = tjCompress2(
      handle.get(), image.data, image.width, static_cast<int>(image.stride), image.height,
      pixel_format, &buffer, &size, gray ? TJSAMP_GRAY : TJSAMP_420, quality, TJFLAG_FASTDCT);
  std::unique_ptr<unsigned char, void (*)(unsigned char*)> owned(buffer, tjFree);
  if (failed != 0) {
    throw std::runtime_error(std::string("JPEG encoding failed: ") + tjGetErrorStr2(handle.get()));
  }
  return std::string(reinterpret_cast<const char*>(buffer), size);
}

}  // namespace strovix::tools
