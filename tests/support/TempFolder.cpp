// Temporary folder: mkdtemp gives a unique name atomically, so parallel
// test programs never share one.

#include "TempFolder.h"

#include <cstdlib>
#include <stdexcept>
#include <vector>

namespace calmora_test {

TempFolder::TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "calmora-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary folder");
    }
    path_ = buffer.data();
}

TempFolder::~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

}  // namespace calmora_test
