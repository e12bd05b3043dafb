// A stand-in for a host executable in the launcher's tests. Started as
// "<image> -m <host>", it records its arguments, one per line, in
// "<image>.args", then lives as "<image>.life" says ("<ms> <exit code>",
// default "30000 0") unless "<image>.stop" appears first (exit code 0).
// With "<image>.workers" ("<count> <ms>") it first starts that many workers,
// itself run as "--worker <ms>", each living ms whatever its host does.

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "support/start_self.h"

namespace {

void StartWorkers(const std::filesystem::path& image) {
  int count = 0;
  std::string ms;
  std::ifstream(image.string() + ".workers") >> count >> ms;
  for (int i = 0; i < count; ++i) StartSelf({"--worker", ms});
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--worker") {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::stol(argv[2])));
    return 0;
  }
  const std::filesystem::path image = std::filesystem::absolute(argv[0]);
  {
    // Written aside and renamed, so a reader never sees half of it; aside
    // under a name of this process's own, as several may start from one image.
    const std::filesystem::path part = image.string() + ".args." + std::to_string(std::random_device{}()) + ".part";
    {
      std::ofstream args(part, std::ios::binary);
      for (int i = 0; i < argc; ++i) args << argv[i] << '\n';
    }
    std::error_code failed;
    std::filesystem::rename(part, image.string() + ".args", failed);
    if (failed) std::filesystem::remove(part, failed);
  }
  StartWorkers(image);
  long lifeMs = 30000;
  int exitCode = 0;
  std::ifstream(image.string() + ".life") >> lifeMs >> exitCode;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(lifeMs);
  const std::filesystem::path stop = image.string() + ".stop";
  while (std::chrono::steady_clock::now() < end) {
    std::error_code ignored;
    if (std::filesystem::exists(stop, ignored)) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return exitCode;
}
