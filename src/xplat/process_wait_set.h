#pragma once
// One wait over a signal and the processes a caller watches, with no thread
// of its own. On Linux one epoll set over the signal's eventfd and the
// handles' own pidfds, so a watched process costs no descriptor more; a
// handle that closes leaves the set first (watched handles close on the
// thread that waits, and one set at a time watches a handle). On Windows
// WaitForMultipleObjects over the signal and up to 62 processes, and a
// registered thread-pool wait for each process beyond them, which sets one
// more event when its process ends; the set keeps duplicates of the handles,
// and each registration is undone, its callback finished, before its
// duplicate closes. All of them are undone when the set goes.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "xplat/event_signal.h"
#include "xplat/process.h"

namespace xplat {

class ProcessWaitSet {
 public:
  // The signal must be the platform's own (CreateEventSignal) and outlive the set.
  explicit ProcessWaitSet(EventSignal& signal);
  ~ProcessWaitSet();
  ProcessWaitSet(const ProcessWaitSet&) = delete;
  ProcessWaitSet& operator=(const ProcessWaitSet&) = delete;

  // Watches exactly these processes from now on; empty handles are left
  // out. False when one of them could not be watched.
  bool Watch(const std::vector<const ProcessHandle*>& processes);
  // Whether Watch would change nothing: the same handles, in the same order,
  // as last given, none added or removed since, and every one watched. A
  // walk gives the same set again, as a rule: asked first, it costs a look
  // at each handle, no map.
  bool Holds(const std::vector<const ProcessHandle*>& processes) const;
  // One process more, or one less, as Watch would have it: what a change of
  // a few processes costs does not grow with the processes watched.
  bool Add(const ProcessHandle& process);
  void Remove(const ProcessHandle& process);
  std::size_t WatchedCount() const;

  enum class Woken { Signal, ProcessEnded, TimedOut, Failed };
  // Waits at most ms, through the clock seam, for the signal (which the
  // wait consumes, as EventSignal::Wait does) or the end of a watched
  // process. A signal that comes with an ended process is reported first.
  Woken Wait(std::uint32_t ms);
  // Of the processes last given to Watch, those whose end the last wait
  // saw: some or all of them, none when it cannot tell which.
  std::vector<const ProcessHandle*> Ended() const;
  // Whether a watched process has ended, looked at without waiting and
  // leaving the signal as it is.
  bool AnyEnded() const;

 private:
  struct Impl;
  // What each back-end gives Watch and Ended, which are shared.
  bool Usable() const;
  std::vector<std::uint64_t> WatchedSerials() const;  // in ascending order
  bool AddWatch(std::uint64_t serial, const ProcessHandle& process);
  bool IsWatched(std::uint64_t serial) const;
  void RemoveWatch(std::uint64_t serial);
  static std::uint64_t SerialOf(const ProcessHandle& process);
  // Each handle with its serial (0: empty), in the order given.
  static std::vector<std::pair<const ProcessHandle*, std::uint64_t>> Identities(
      const std::vector<const ProcessHandle*>& processes);
  std::vector<std::uint64_t> EndedSerials() const;

  std::unique_ptr<Impl> impl;
  std::map<std::uint64_t, const ProcessHandle*> given;  // by serial, at the last Watch
  // The identities of what the last Watch was given, while nothing has
  // been added or removed since.
  std::vector<std::pair<const ProcessHandle*, std::uint64_t>> lastGiven;
  bool settled = false;
};

}  // namespace xplat
