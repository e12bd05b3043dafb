#include "support/test_environment.h"

#include <fstream>
#include <iterator>
#include <random>

#include "xplat/dynamic_library.h"
#include "xplat/text.h"

namespace testing_support {
namespace {
std::filesystem::path testFolder;
}

// The first is the program's, which it removes as it ends; the others are
// made in it, so that they go with it.
std::filesystem::path CreateTestFolder() {
  namespace fs = std::filesystem;
  const fs::path base = testFolder.empty() ? fs::temp_directory_path() : testFolder;
  for (unsigned attempt = 0;; ++attempt) {
    const fs::path candidate =
        base / ("custodex-test-" + std::to_string(std::random_device{}()) + "-" + std::to_string(attempt));
    if (!fs::create_directory(candidate)) continue;
    if (testFolder.empty()) testFolder = candidate;
    return candidate;
  }
}

const std::filesystem::path& TestFolder() { return testFolder; }

std::wstring TestDataFolder() {
  std::wstring program = xplat::ExecutablePath();
  std::size_t slash = program.find_last_of(L"/\\");
  return program.substr(0, slash + 1) + L"testdata";
}

std::string ReadFile(const std::wstring& path) {
#if defined(_WIN32)
  std::ifstream in(path.c_str(), std::ios::binary);
#else
  std::ifstream in(xplat::ToUtf8(path), std::ios::binary);
#endif
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

ScopedRegistryKey::ScopedRegistryKey(std::wstring keyPath) : path(std::move(keyPath)) {
  xplat::RegistryKey::DeleteTree(path);
  key = xplat::RegistryKey::Create(path);
}

ScopedRegistryKey::~ScopedRegistryKey() {
  key.Close();
  xplat::RegistryKey::DeleteTree(path);
}

void ScopedRegistryKey::SetText(const std::wstring& name, const std::wstring& text) {
  key.Set(name, xplat::StringValue(text));
}

void ScopedRegistryKey::SetRaw(const std::wstring& name, std::uint32_t type, const std::string& bytes) {
  key.Set(name, xplat::RegistryValue{type, std::vector<std::uint8_t>(bytes.begin(), bytes.end())});
}

}  // namespace testing_support
