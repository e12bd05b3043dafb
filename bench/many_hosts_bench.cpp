// A thousand hosts under the service stand-in with every supervision
// feature on (Linux): each host is killed from outside once, in batches,
// and must come back; the service's descriptors are counted with all of
// them running. A plain program:
//
//   custodex-many-hosts-bench [--hosts 1000] [--batch 100] [--image idle|qvhost] [--descriptor-limit 1100]
//
// The service, the libraries and the host image (the idle host by default)
// are copied into a temporary program folder of their own, beside a machine
// root of their own; both go, with every process, when it ends. The service
// runs with its soft and hard limit of open descriptors at
// --descriptor-limit, so it cannot raise it further.

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "xplat/process_tree.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::size_t kDescriptorsBesideHosts = 64;  // the service's own: libraries, logs, broker, registry

struct Options {
  int hosts = 1000;
  int batch = 100;
  std::string image = "idle";
  int descriptorLimit = 1100;
};

fs::path Bin() { return fs::canonical("/proc/self/exe").parent_path(); }

std::string ReadAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Host name -> process id of every process running a copy in the folder,
// as /proc tells: its image "QVH-<host>.exe" and the name after "-m".
std::map<std::string, pid_t> RunningHosts(const fs::path& folder) {
  std::map<std::string, pid_t> hosts;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string pid = entry.path().filename();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code error;
    const fs::path image = fs::read_symlink(entry.path() / "exe", error);
    if (error || image.parent_path() != folder || image.filename().string().rfind("QVH-", 0) != 0) continue;
    const std::string line = ReadAll(entry.path() / "cmdline");
    const std::size_t flag = line.find(std::string("-m\0", 3));
    if (flag == std::string::npos) continue;
    hosts[line.substr(flag + 3, line.find('\0', flag + 3) - flag - 3)] = static_cast<pid_t>(std::stol(pid));
  }
  return hosts;
}

std::size_t Descriptors(pid_t process) {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/" + std::to_string(process) + "/fd")) ++count;
  return count;
}

// The soft and hard "Max open files" of the process's limits.
std::string DescriptorLimits(pid_t process) {
  constexpr char kName[] = "Max open files";
  std::ifstream limits("/proc/" + std::to_string(process) + "/limits");
  for (std::string line; std::getline(limits, line);) {
    if (line.rfind(kName, 0) != 0) continue;
    std::istringstream fields(line.substr(sizeof kName - 1));
    std::string soft, hard;
    fields >> soft >> hard;
    return soft + " and " + hard;
  }
  return "unknown";
}

// The service with its standard input a pipe: closing it stops the module.
// prlimit(1) sets the descriptor limit on itself and then execs the service,
// which so has it before it runs at all: set from here on the spawned
// service, it would race with the service reading it; lowered here around
// the spawn, this process's hard limit could not be raised again without
// privilege.
class Service {
 public:
  Service(const fs::path& program, const fs::path& root, const fs::path& policy, int descriptorLimit) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, pipeFds[0], STDIN_FILENO);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const std::string service = (program / "custodex-service").string();
    const std::string rootText = root.string();
    const std::string policyText = policy.string();
    const std::string limit = "--nofile=" + std::to_string(descriptorLimit) + ":" + std::to_string(descriptorLimit);
    std::vector<char*> argv{const_cast<char*>("prlimit"),      const_cast<char*>(limit.c_str()),
                            const_cast<char*>("--"),           const_cast<char*>(service.c_str()),
                            const_cast<char*>("--root"),       const_cast<char*>(rootText.c_str()),
                            const_cast<char*>("--policy"),     const_cast<char*>(policyText.c_str()),
                            const_cast<char*>("--responsive"), nullptr};
    if (::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[0]);
    input = pipeFds[1];
  }
  ~Service() { Stop(); }

  pid_t Pid() const { return pid; }
  void Stop() {
    if (input >= 0) ::close(input);
    input = -1;
    if (pid > 0) ::waitpid(pid, nullptr, 0);
    pid = -1;
  }

 private:
  pid_t pid = -1;
  int input = -1;
};

bool AwaitHosts(const fs::path& folder, std::size_t count, std::chrono::seconds limit) {
  for (const auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;
       std::this_thread::sleep_for(50ms)) {
    if (RunningHosts(folder).size() >= count) return true;
  }
  return false;
}

// Kills the batch's hosts and waits until each has a process again: how
// many came back, and how long the last one took.
std::pair<std::size_t, double> KillAndAwait(const fs::path& folder, const std::vector<std::string>& batch,
                                            const std::map<std::string, pid_t>& before) {
  const auto start = std::chrono::steady_clock::now();
  for (const std::string& host : batch) ::kill(before.at(host), SIGKILL);
  std::size_t back = 0;
  for (const auto end = start + 60s; std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(20ms)) {
    const std::map<std::string, pid_t> now = RunningHosts(folder);
    back = static_cast<std::size_t>(std::count_if(batch.begin(), batch.end(), [&](const std::string& host) {
      const auto found = now.find(host);
      return found != now.end() && found->second != before.at(host);
    }));
    if (back == batch.size()) break;
  }
  return {back, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count()};
}

// Then the trees the service left, empty now, go as a later service of the
// install would remove them.
void EndEveryHost(const fs::path& folder) {
  for (int round = 0; round < 100; ++round) {
    const std::map<std::string, pid_t> left = RunningHosts(folder);
    if (left.empty()) break;
    for (const auto& [host, pid] : left) ::kill(pid, SIGKILL);
    std::this_thread::sleep_for(50ms);
  }
  std::error_code ignored;
  xplat::ProcessTreeSet(fs::canonical(folder, ignored).wstring()).TakeOverLeftTrees();
}

bool Parse(int argc, char** argv, Options& options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--hosts") {
      options.hosts = std::stoi(argv[i + 1]);
    } else if (name == "--batch") {
      options.batch = std::stoi(argv[i + 1]);
    } else if (name == "--image") {
      options.image = argv[i + 1];
    } else if (name == "--descriptor-limit") {
      options.descriptorLimit = std::stoi(argv[i + 1]);
    } else {
      return false;
    }
  }
  return argc % 2 == 1 && options.hosts > 0 && options.batch > 0 && options.descriptorLimit > 0;
}

int Run(const Options& options) {
  const fs::path folder = fs::temp_directory_path() / ("custodex-many-hosts-" + std::to_string(::getpid()));
  const fs::path program = folder / "program";
  fs::create_directories(program);
  for (const char* file : {"custodex-service", "libCustodex.so", "libHubrelle.so", "libtallyx.so", "libZAVSample.so"}) {
    fs::copy_file(Bin() / file, program / file);
  }
  fs::copy_file(Bin() / (options.image == "qvhost" ? "qvhost.exe" : "custodex-bench-host"), program / "qvhost.exe");
  std::ostringstream policy;
  policy << "<qvhosts>";
  std::vector<std::string> names;
  for (int i = 0; i < options.hosts; ++i) {
    names.push_back("H" + std::to_string(10000 + i));
    policy << "<host name=\"" << names.back() << "\"/>";
  }
  policy << "</qvhosts>";
  std::ofstream(folder / "policy.xml") << policy.str();
  ::setenv("TALLYX_LOG_FILE", (folder / "agent.log").c_str(), 1);
  ::setenv("TALLYX_LEVEL", "200", 1);
  ::setenv("ZAVSAMPLE_HEARTBEAT_MS", "3600000", 1);

  std::printf("%d hosts under the service stand-in, every supervision feature on, %s as qvhost.exe\n", options.hosts,
              options.image == "qvhost" ? "the qvhost.exe stand-in" : "the idle host");
  bool met = false;
  {
    Service service(program, folder / "machine", folder / "policy.xml", options.descriptorLimit);
    if (service.Pid() > 0 && AwaitHosts(program, names.size(), 300s)) {
      const std::size_t descriptors = Descriptors(service.Pid());
      std::printf("  the service's descriptor limit: %d, soft and hard (its limits read %s)\n", options.descriptorLimit,
                  DescriptorLimits(service.Pid()).c_str());
      std::mt19937 random(19);
      std::shuffle(names.begin(), names.end(), random);
      std::size_t restarted = 0;
      double slowest = 0;
      for (std::size_t first = 0; first < names.size(); first += static_cast<std::size_t>(options.batch)) {
        const std::vector<std::string> batch(
            names.begin() + static_cast<std::ptrdiff_t>(first),
            names.begin() + static_cast<std::ptrdiff_t>(std::min(names.size(), first + options.batch)));
        const auto [back, ms] = KillAndAwait(program, batch, RunningHosts(program));
        restarted += back;
        slowest = std::max(slowest, ms);
      }
      const std::size_t after = Descriptors(service.Pid());
      met = restarted == names.size() && std::max(descriptors, after) <= names.size() + kDescriptorsBesideHosts;
      std::printf("  killed from outside: %zu, started again: %zu (batches of %d; the slowest back in %.0f ms)\n",
                  names.size(), restarted, options.batch, slowest);
      std::printf(
          "  the service's descriptors: %zu with every host running, %zu after the kills: %.2f a host "
          "(target: one a host and at most %zu more: %s)\n",
          descriptors, after, static_cast<double>(after) / static_cast<double>(names.size()), kDescriptorsBesideHosts,
          met ? "met" : "missed");
    } else {
      std::printf("  the hosts did not all start\n");
    }
    service.Stop();
  }
  EndEveryHost(program);
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  return met ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!Parse(argc, argv, options)) {
    std::fprintf(
        stderr,
        "usage: custodex-many-hosts-bench [--hosts N] [--batch N] [--image idle|qvhost] [--descriptor-limit N]\n");
    return 2;
  }
  return Run(options);
}
