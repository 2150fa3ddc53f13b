// Whole-process HEX conversion for the comparison with other converters:
//   hex_to_bin generate OUT.hex     writes the HEX text of a full sample image (16 bytes a record)
//   hex_to_bin IN.hex OUT.bin       converts HEX text to a flat image, 0xFF fill
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "image/hex_image.h"
#include "image/update_file.h"
#include "tools/hex_text.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

bool WriteAll(const char* path, const void* data, size_t size) {
  File out(std::fopen(path, "wb"));
  return out && std::fwrite(data, 1, size, out.get()) == size && std::fflush(out.get()) == 0;
}

int Generate(const char* path) {
  const std::string text =
      iapflash::bench::HexTextOf(iapflash::bench::SampleImage(iapflash::MAX_IMAGE_SIZE), 16);
  return WriteAll(path, text.data(), text.size()) ? 0 : 1;
}

int Convert(const char* in, const char* out) {
  File file(std::fopen(in, "rb"));
  if (!file) {
    std::fprintf(stderr, "cannot open %s\n", in);
    return 1;
  }
  // One read of the whole text into a buffer of the file's size.
  if (std::fseek(file.get(), 0, SEEK_END) != 0) return 1;
  const long size = std::ftell(file.get());
  if (size < 0 || size > 0x7FFFFFFF || std::fseek(file.get(), 0, SEEK_SET) != 0) return 1;
  const std::unique_ptr<char[]> text(new char[static_cast<size_t>(size) + 1]);
  const size_t textLength = std::fread(text.get(), 1, static_cast<size_t>(size), file.get());
  // The conversion fills every byte it may leave unset, so the image needs no clearing.
  const std::unique_ptr<uint8_t[]> image(new uint8_t[iapflash::MAX_IMAGE_SIZE]);
  uint32_t length = 0;
  if (!iapflash::ConvertHexImage(text.get(), static_cast<uint32_t>(textLength), image.get(),
                                 iapflash::MAX_IMAGE_SIZE, length) ||
      length > iapflash::MAX_IMAGE_SIZE) {
    std::fprintf(stderr, "invalid HEX text\n");
    return 1;
  }
  return WriteAll(out, image.get(), length) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "generate") == 0) return Generate(argv[2]);
  if (argc == 3) return Convert(argv[1], argv[2]);
  std::fprintf(stderr, "usage: hex_to_bin generate OUT.hex | hex_to_bin IN.hex OUT.bin\n");
  return 2;
}
