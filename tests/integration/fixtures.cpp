#include "fixtures.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
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

namespace {

bool LineMatches(std::string line, const std::string& pattern) {
  if (pattern.empty() || pattern.front() != '.') line.erase(0, line.find_first_not_of('.'));
  if (!pattern.empty() && pattern.back() == '*') {
    return line.rfind(pattern.substr(0, pattern.size() - 1), 0) == 0;
  }
  return line == pattern;
}

}  // namespace

bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& patterns) {
  std::size_t next = 0;
  for (const auto& line : lines) {
    if (next < patterns.size() && LineMatches(line, patterns[next])) ++next;
  }
  return next == patterns.size();
}

std::string WaitDotsAs(std::string text, const std::string& stepLine, const std::string& shown) {
  const std::size_t step = text.find(stepLine + "\n");
  if (step == std::string::npos) return text;
  const std::size_t start = step + stepLine.size() + 1;
  const std::size_t end = std::min(text.find_first_not_of('.', start), text.size());
  return text.replace(start, end - start, shown);
}

const std::vector<std::string> FAILURE_SUMMARY = {
    "****固件下载失败!",
    "   1.检查通讯接口以及连线是否正确;",
    "    2.MCU内有没有烧入IAP程序;",
    "    3.MCU有没有进入到IAP下载模式;",
};

std::string SchemaComplaints(const std::string& text) {
  TempFolder folder;
  const auto lines = folder.Path("events.jsonl");
  std::ofstream(lines, std::ios::binary) << text;
  const std::string command =
      std::string("python3 ") + JSON_VALIDATOR + " " + JSON_SCHEMA + " " + lines.string() + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return "cannot run " + command;
  std::string said;
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) said.append(chunk, n);
  const int raw = ::pclose(pipe);
  if (!WIFEXITED(raw) || WEXITSTATUS(raw) != 0) return said.empty() ? "validator failed" : said;
  return {};
}

}  // namespace iapflash::testing
