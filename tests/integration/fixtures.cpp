#include "fixtures.h"

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace iapflash::testing {

std::vector<uint8_t> EveryValueImage(uint32_t length) {
  std::vector<uint8_t> image(length);
  for (uint32_t i = 0; i < length; ++i) {
    image[i] = static_cast<uint8_t>(i * 31u + (i / 256u) * 17u);
  }
  return image;
}

void WriteUpdateFile(const std::filesystem::path& path, const std::vector<uint8_t>& image) {
  std::vector<char> header(512, 0);
  const std::string tag = "IAP_UPDATA_FILE";
  std::copy(tag.begin(), tag.end(), header.begin());
  std::ofstream file(path, std::ios::binary);
  file.write(header.data(), static_cast<std::streamsize>(header.size()));
  file.write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size()));
  if (!file) throw std::runtime_error("cannot write " + path.string());
}

ServedDevice::ServedDevice(SimWireTiming timing, const std::vector<std::string>& faults)
    : device(std::make_shared<SimDevice>()) {
  device->SetWireTiming(timing);
  for (const auto& text : faults) {
    const auto fault = ParseSimFault(text);
    if (!fault) throw std::runtime_error("bad fault " + text);
    device->AddFault(*fault);
  }
  SystemError error = 0;
  server = PtyServer::Start(device, error);
  if (!server) throw std::runtime_error("no pty: " + SystemErrorText(error));
}

bool Eventually(const std::function<bool()>& condition, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

}  // namespace iapflash::testing
