// The child the process tests start:
//   custodex-test-child exit N         ends at once with exit code N
//   custodex-test-child sleep MS N     ends with N after MS milliseconds
//   custodex-test-child args FILE ...  writes all its arguments, the program's
//                                      name first, one a line in UTF-8 to FILE
// On Windows it takes its arguments as the C run-time splits them (wmain).

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#if defined(_WIN32)
#include <windows.h>

std::string Utf8(const wchar_t* text) {
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string bytes(size > 0 ? size : 1, '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes.data(), size, nullptr, nullptr);
  bytes.resize(bytes.size() - 1);
  return bytes;
}
#else
std::string Utf8(const char* text) { return text; }
#endif

template <typename Char>
int Run(int argc, Char** argv) {
  if (argc < 3) return 100;
  const std::string command = Utf8(argv[1]);
  if (command == "exit") return std::atoi(Utf8(argv[2]).c_str());
  if (command == "sleep" && argc >= 4) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(Utf8(argv[2]).c_str())));
    return std::atoi(Utf8(argv[3]).c_str());
  }
  if (command == "args") {
    std::ofstream out(std::filesystem::path(argv[2]), std::ios::binary);
    for (int i = 0; i < argc; ++i) out << Utf8(argv[i]) << '\n';
    return out ? 0 : 101;
  }
  return 100;
}

#if defined(_WIN32)
int wmain(int argc, wchar_t** argv) { return Run(argc, argv); }
#else
int main(int argc, char** argv) { return Run(argc, argv); }
#endif
