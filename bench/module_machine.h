#pragma once
// What the plain benchmark programs share (Linux, and Windows under Wine): a
// machine of their own for the host manager, and the module's Execute loop
// run as the service runs it.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "hosts/custodex.h"
#include "module/broker_binding.h"
#include "xplat/event_signal.h"
#include "xplat/process_list.h"

namespace module_bench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The folder of this program and of everything the build made beside it.
fs::path Bin();

// "<prefix>100", "<prefix>101", ...
std::vector<std::wstring> HostNames(int count, const std::wstring& prefix = L"Bench");

// The machine: a registry store and data folder of its own on Linux (the
// prefix's registry under Wine), a program folder with the host image, the
// libraries hosts load, and the log at level 200. `name` names its
// temporary folder; `image` is "idle" (the idle bench host) or "qvhost"
// (the qvhost.exe stand-in), copied as the program folder's qvhost.exe.
class Machine {
 public:
  Machine(const std::string& name, const std::string& image);
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  fs::path Program() const { return folder / "program"; }
  fs::path Stamps() const { return folder / "starts.txt"; }
  fs::path Log() const { return folder / "agent.log"; }

  // A DWORD setting of the module, read when a module is constructed.
  void Setting(const wchar_t* name, bool on) const;
  // The module list, each host running the sample module.
  void ModuleList(const std::vector<std::wstring>& hosts) const;
  // A module writes its own program folder when constructed: this one
  // replaces it.
  void UseProgramFolder() const;
  // Where the module puts the hosts' copies of the host image.
  std::vector<std::wstring> Copies(const std::vector<std::wstring>& hosts) const;

 private:
  // The folder, the files a module reads and the agent's keys.
  void Prepare(const std::string& image) const;
  void Remove() const;

  fs::path folder;
};

// The module's loop on a thread of its own, with the service's side of the
// broker answering its policy request; the hosts are its records, started
// by a policy event without data. `afterExecute`, when given, runs on the
// module's thread as soon as Execute returns.
// The CPU time a thread has used so far, in ms; negative where it cannot be read.
double ThreadCpuMs(std::thread& thread);

class ModuleRun {
 public:
  ModuleRun(const Machine& machine, const std::vector<std::wstring>& hosts,
            std::function<void()> afterExecute = nullptr);
  ~ModuleRun();
  ModuleRun(const ModuleRun&) = delete;
  ModuleRun& operator=(const ModuleRun&) = delete;

  // Posts an event without data, as the service would ("ZAV.Upgrade.Custodex").
  bool Send(const std::wstring& fullName);
  bool Returned() const { return returned; }
  // The CPU time the module's thread has used so far; negative where it cannot be read.
  double ThreadCpuMs();
  // The broker's queue, where the module's own records can be subscribed to.
  EventQueue& Queue() const { return *broker.Queue(); }

 private:
  BrokerBinding broker;
  std::unique_ptr<xplat::EventSignal> signal;
  std::unique_ptr<zav::custody::Custodex> module;
  std::function<void()> onReturn;
  std::atomic<bool> returned{false};
  std::thread thread;
};

// Polls in real time, whatever this process's clock divisor.
template <typename Condition>
bool AwaitUntil(Condition condition, Clock::duration limit, Clock::duration poll = std::chrono::milliseconds(10)) {
  for (const auto end = Clock::now() + limit;; std::this_thread::sleep_for(poll)) {
    if (condition()) return true;
    if (Clock::now() >= end) return false;
  }
}

// The hosts' start stamps (start_stamp.h): host -> (pid, ns) of its newest
// process.
class Stamps {
 public:
  explicit Stamps(fs::path file) : path(std::move(file)) {}

  void Read();
  // What earlier processes stamped is passed over: another measurement's
  // hosts, which may have had the same names.
  void SkipEarlier();
  // Waits until the host's newest process is another than `old`; its start.
  bool AwaitNew(const std::string& host, std::uint32_t old, std::uint64_t& startNs, std::chrono::milliseconds limit);
  // How many processes of the host have started so far.
  std::size_t Starts(const std::string& host);
  std::uint32_t Pid(const std::string& host);
  // Of these hosts, those whose newest process started at least minimumMs ago.
  std::vector<std::string> RunningFor(const std::vector<std::wstring>& hosts, std::uint64_t minimumMs);
  // One of them at random, once there is one.
  std::string AnyRunningFor(const std::vector<std::wstring>& hosts, std::uint64_t minimumMs, std::mt19937& random);
  // How many of these hosts have started.
  std::size_t Count(const std::vector<std::wstring>& hosts);

 private:
  fs::path path;
  std::size_t offset = 0;
  std::map<std::string, std::pair<std::uint32_t, std::uint64_t>> latest;
  std::map<std::string, std::size_t> starts;
};

// Ends the host's newest process from outside: the time from its end (a
// wait on it returns) to its successor's own start, when one comes in time.
std::optional<double> TimeRestartAfterKill(Stamps& stamps, const std::string& host, std::chrono::milliseconds limit);

struct Latencies {
  double medianMs = 0;
  double longestMs = 0;
  int measured = 0;
};

Latencies Summarise(std::vector<double> latenciesMs);

// The processes running one of the copies: hosts, and the workers they
// start, which run their host's copy.
std::vector<xplat::RunningProgram> Running(const std::vector<std::wstring>& copies);

// Whatever happened, nothing run from the copies outlives it.
class Sweep {
 public:
  explicit Sweep(std::vector<std::wstring> copies) : images(std::move(copies)) {}
  ~Sweep();
  Sweep(const Sweep&) = delete;
  Sweep& operator=(const Sweep&) = delete;

 private:
  std::vector<std::wstring> images;
};

// The lines a log gets from now on.
class LogWatch {
 public:
  explicit LogWatch(fs::path file);
  // Whether a line written since the last look holds the text.
  bool Saw(const std::string& text);

 private:
  fs::path path;
  std::size_t offset = 0;
};

// Where the figures go: standard output as the program got it.
std::FILE* Figures();

// The hosts and the module write lines of their own to standard output,
// which the hosts inherit: while this lives, those go to a file, removed
// afterwards, and the figures still go where standard output went.
class QuietOutput {
 public:
  explicit QuietOutput(fs::path file);
  ~QuietOutput();
  QuietOutput(const QuietOutput&) = delete;
  QuietOutput& operator=(const QuietOutput&) = delete;

 private:
  fs::path path;
};

}  // namespace module_bench
