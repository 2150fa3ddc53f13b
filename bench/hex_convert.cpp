// ConvertHexImage over the HEX text of a full 102400-byte image.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include "image/hex_image.h"
#include "image/update_file.h"
#include "tools/hex_text.h"

namespace {

void BM_ConvertFullImage(benchmark::State& state) {
  const auto bytesPerRecord = static_cast<uint32_t>(state.range(0));
  const std::string text = iapflash::bench::HexTextOf(
      iapflash::bench::SampleImage(iapflash::MAX_IMAGE_SIZE), bytesPerRecord);
  std::vector<uint8_t> image(iapflash::MAX_IMAGE_SIZE);
  uint32_t length = 0;
  for (auto _ : state) {
    const bool ok = iapflash::ConvertHexImage(text.data(), static_cast<uint32_t>(text.size()),
                                              image.data(), iapflash::MAX_IMAGE_SIZE, length);
    benchmark::DoNotOptimize(ok);
    benchmark::ClobberMemory();
    if (!ok || length != iapflash::MAX_IMAGE_SIZE) state.SkipWithError("conversion failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(text.size()));
  state.counters["text_bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_ConvertFullImage)->Arg(16)->Arg(32);

}  // namespace
