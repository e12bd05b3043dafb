// The child the process tests start:
//   custodex-test-child exit N         ends at once with exit code N
//   custodex-test-child sleep MS N     ends with N after MS milliseconds
//   custodex-test-child args FILE ...  writes all its arguments, the program's
//                                      name first, one a line in UTF-8 to FILE
//   custodex-test-child ready FILE MS  creates FILE, then ends with 0 after MS
//   custodex-test-child ready-as UID FILE MS
//                                      the same as user UID (Linux, as root)
//   custodex-test-child until FILE     ends with 0 once FILE exists
//   custodex-test-child workers N FILE starts N copies of itself as "until FILE",
//                                      then ends with 0
//   custodex-test-child chain FILE     starts a copy of itself as "chain FILE" and
//                                      ends with 0 at once, until FILE exists
//   custodex-test-child lone-thread FILE
//                                      ends its first thread; another ends the
//                                      process once FILE exists
//   custodex-test-child spin MS FILE   uses MS milliseconds of CPU time (at
//                                      most for ten times as long), writes
//                                      what it used to FILE.spun, then ends
//                                      once FILE exists
//   custodex-test-child escape-group FILE
//                                      (Linux) moves itself into a control group
//                                      made beneath its own, then as "until"
// On Windows it takes its arguments as the C run-time splits them (wmain).

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
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

void EndFirstThread() { ::ExitThread(0); }

std::uint64_t OwnCpuMs() {
  FILETIME created, exited, kernel, user;
  if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  const auto ticks = [](const FILETIME& time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  };
  return (ticks(kernel) + ticks(user)) / 10000;
}

bool EscapeGroup() { return false; }

#else
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

std::string Utf8(const char* text) { return text; }

void EndFirstThread() { ::pthread_exit(nullptr); }

std::uint64_t OwnCpuMs() {
  timespec used{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
  return static_cast<std::uint64_t>(used.tv_sec) * 1000 + static_cast<std::uint64_t>(used.tv_nsec) / 1000000;
}

std::string ControlGroupMount() {
  std::ifstream table("/proc/self/mountinfo");
  for (std::string line; std::getline(table, line);) {
    const std::size_t separator = line.find(" - cgroup2 ");
    if (separator == std::string::npos) continue;
    std::istringstream fields(line.substr(0, separator));
    std::string id, parent, device, root, mount;
    if (fields >> id >> parent >> device >> root >> mount) return mount;
  }
  return {};
}

// Into a group of its own beneath the one it was started in.
bool EscapeGroup() {
  std::ifstream entries("/proc/self/cgroup");
  std::string line;
  while (std::getline(entries, line) && line.rfind("0::", 0) != 0) {
  }
  const std::string folder = ControlGroupMount() + line.substr(3) + "/escaped";
  ::mkdir(folder.c_str(), 0755);
  std::ofstream procs(folder + "/cgroup.procs");
  procs << ::getpid() << std::flush;
  return static_cast<bool>(procs);
}

#endif

bool Exists(const std::string& file) {
  std::error_code ignored;
  return std::filesystem::exists(std::filesystem::u8path(file), ignored);
}

int Until(const std::string& file) {
  while (!Exists(file)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return 0;
}

// Bounded in time too, for a system that tells no CPU time of its own.
int Spin(int ms, const std::string& file) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(10 * ms);
  for (volatile unsigned spun = 0;
       OwnCpuMs() < static_cast<std::uint64_t>(ms) && std::chrono::steady_clock::now() < end; spun = spun + 1) {
  }
  std::ofstream(std::filesystem::u8path(file + ".spun")) << OwnCpuMs();
  return Until(file);
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
  const std::string file = Utf8(argv[argc - 1]);
  if (command == "until") return Until(file);
  if (command == "workers" && argc >= 4) {
    for (int i = std::atoi(Utf8(argv[2]).c_str()); i > 0; --i) {
      if (!StartSelf({"until", file})) return 103;
    }
    return 0;
  }
  if (command == "chain") {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return Exists(file) || StartSelf({"chain", file}) ? 0 : 103;
  }
  if (command == "spin" && argc >= 4) return Spin(std::atoi(Utf8(argv[2]).c_str()), file);
  if (command == "escape-group") return EscapeGroup() ? Until(file) : 104;
  if (command == "lone-thread") {
    std::thread([file] { std::exit(Until(file)); }).detach();
    EndFirstThread();
  }
#if !defined(_WIN32)
  if (command == "limit") {
    rlimit limit{};
    std::ofstream(std::filesystem::path(file), std::ios::binary)
        << (::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 0);
    return 0;
  }
#endif
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
