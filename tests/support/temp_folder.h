#pragma once

#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

namespace iapflash::testing {

// A fresh folder of its own under the temporary directory, removed with everything in it. Named
// at random, so tests and builds that run side by side never share one.
class TempFolder {
 public:
  explicit TempFolder(const std::filesystem::path& prefix = "iapflash-") {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::filesystem::path candidate = std::filesystem::temp_directory_path();
      candidate += std::filesystem::path::preferred_separator;
      candidate += prefix;
      candidate += std::to_string(random());
      std::error_code error;
      if (std::filesystem::create_directory(candidate, error)) {
        root_ = candidate;
        return;
      }
    }
    throw std::runtime_error("no temporary folder");
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& Root() const { return root_; }
  std::filesystem::path Path(const std::string& name) const { return root_ / name; }

 private:
  std::filesystem::path root_;
};

// Makes folder the working folder for its lifetime, then restores the one before.
class WorkingFolder {
 public:
  explicit WorkingFolder(const std::filesystem::path& folder)
      : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(folder);
  }
  ~WorkingFolder() { std::filesystem::current_path(previous_); }
  WorkingFolder(const WorkingFolder&) = delete;
  WorkingFolder& operator=(const WorkingFolder&) = delete;

 private:
  std::filesystem::path previous_;
};

}  // namespace iapflash::testing
