// What loading the module costs: each library file given is loaded and freed
// again, in turns, so files compared are measured in the same run under the
// same load. A portable program (Linux, and Windows under Wine):
//
//   custodex-load-bench [--rounds 50] FILE...
//
// Prints each file's size, its first load (the one that may read the file
// from disk) and the median and least of the loads after it, in ms. A load
// here is what the service does: the platform's load, then the lookup of
// both exports, then the free.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "xplat/dynamic_library.h"
#include "xplat/text.h"

namespace {

struct Loads {
  std::wstring file;
  double firstMs = 0;
  std::vector<double> laterMs;
};

// Milliseconds for one load, lookup and free; negative when it did not load.
double TimeOneLoad(const std::wstring& file) {
  const auto start = std::chrono::steady_clock::now();
  xplat::DynamicLibrary library = xplat::DynamicLibrary::Load(file);
  const bool complete = library.IsLoaded() && library.Symbol("Execute") && library.Symbol("ReturnAPIInterfaceVersion");
  library.Free();
  const auto took = std::chrono::steady_clock::now() - start;
  return complete ? std::chrono::duration<double, std::milli>(took).count() : -1;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 50;
  std::vector<Loads> files;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--rounds" && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else {
      files.push_back({xplat::FromUtf8(std::filesystem::absolute(arg).string()), 0, {}});
    }
  }
  if (files.empty()) {
    std::fputs("usage: custodex-load-bench [--rounds 50] FILE...\n", stderr);
    return 2;
  }
  for (int round = 0; round <= rounds; ++round) {
    for (Loads& loads : files) {
      const double ms = TimeOneLoad(loads.file);
      if (ms < 0) {
        std::fprintf(stderr, "cannot load %s\n", xplat::ToUtf8(loads.file).c_str());
        return 1;
      }
      if (round == 0) loads.firstMs = ms;
      else loads.laterMs.push_back(ms);
    }
  }
  for (const Loads& loads : files) {
    const std::string name = xplat::ToUtf8(loads.file);
    std::printf("%s: %ju bytes, first load %.2f ms, then median %.2f ms, least %.2f ms (%d loads)\n", name.c_str(),
                static_cast<std::uintmax_t>(std::filesystem::file_size(name)), loads.firstMs, Median(loads.laterMs),
                *std::min_element(loads.laterMs.begin(), loads.laterMs.end()), rounds);
  }
  return 0;
}
