#pragma once

// A fresh temporary folder for one test, removed with everything in it
// when the object goes, also when the test fails; and the one file reader.

#include <filesystem>
#include <string>

namespace calmora_test {

class TempFolder {
  public:
    /// Creates a new, empty folder below the system's temporary folder.
    TempFolder();
    /// Removes the folder and its contents; errors are ignored.
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    /// `name` inside the folder, as a string.
    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

/// The whole content of a file, byte for byte; empty when it cannot be read.
std::string readFile(const std::string& path);

}  // namespace calmora_test
