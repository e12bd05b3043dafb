// The child the process tests start:
//   custodex-test-child exit N         ends at once with exit code N
//   custodex-test-child sleep MS N     ends with N after MS milliseconds
//   custodex-test-child args FILE ...  writes all its arguments, the program's
//                                      name first, one a line in UTF-8 to FILE
//   custodex-test-child ready FILE MS  creates FILE, then ends with 0 after MS
//   custodex-test-child ready-as UID FILE MS
//                                      the same as user UID (Linux, as root)
//   custodex-test-child family N MS OWN
//                                      starts N copies of itself as "sleep MS 0",
//                                      then ends with 0 after OWN milliseconds
// On Windows it takes its arguments as the C run-time splits them (wmain).

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "support/start_self.h"

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
#include <unistd.h>

std::string Utf8(const char* text) { return text; }

#endif

int Family(int count, const std::string& childMs, const std::string& ownMs) {
  for (int i = 0; i < count; ++i) {
    if (!StartSelf({"sleep", childMs, "0"})) return 103;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(ownMs.c_str())));
  return 0;
}

// The file is made first, and written once the child is as it will stay.
template <typename Char>
int Ready(const Char* file, const std::string& ms, unsigned uid = 0) {
  std::ofstream out(std::filesystem::path(file), std::ios::binary);
#if !defined(_WIN32)
  if (uid != 0 && (::setgid(uid) != 0 || ::setuid(uid) != 0)) return 102;
#endif
  out << "ready\n";
  out.close();
  std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(ms.c_str())));
  return 0;
}

template <typename Char>
int Run(int argc, Char** argv) {
  if (argc < 3) return 100;
  const std::string command = Utf8(argv[1]);
  if (command == "exit") return std::atoi(Utf8(argv[2]).c_str());
  if (command == "sleep" && argc >= 4) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(Utf8(argv[2]).c_str())));
    return std::atoi(Utf8(argv[3]).c_str());
  }
  if (command == "ready-as" && argc >= 5) {
    return Ready(argv[3], Utf8(argv[4]), static_cast<unsigned>(std::atoi(Utf8(argv[2]).c_str())));
  }
  if (command == "ready" && argc >= 4) return Ready(argv[2], Utf8(argv[3]));
  if (command == "family" && argc >= 5) return Family(std::atoi(Utf8(argv[2]).c_str()), Utf8(argv[3]), Utf8(argv[4]));
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
