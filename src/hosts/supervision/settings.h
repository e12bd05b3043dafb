#pragma once
// What the host manager does beyond its default supervision. Each feature is
// off unless its DWORD value under HKEY_LOCAL_MACHINE
// "Software\Corvane\DEDedad\Custodex" holds something other than 0; the
// values are read once, when the module starts. With none set, the module
// behaves exactly as without them.

namespace zav::custody {

struct SupervisionSettings {
  bool wakeOnHostExit = false;         // "WakeOnHostExit": a host's end wakes the loop at once
  bool restartBackOff = false;         // "RestartBackOff": hosts that keep ending at once are started less often
  bool hostStatus = false;             // "HostStatus": host status is answered over the broker
  bool adoptHosts = false;             // "AdoptHosts": hosts left running by an earlier service are taken over
  bool trackHostTrees = false;         // "TrackHostTrees": every process a host starts belongs to the host
  bool stopHostsThatDoNotEnd = false;  // "StopHostsThatDoNotEnd": a host still running after a removal's
                                       // or the upgrade's wait is ended
  bool publishHostEvents = false;      // "PublishHostEvents": each change of a host's state is posted

  bool Any() const {
    return wakeOnHostExit || restartBackOff || hostStatus || adoptHosts || trackHostTrees || stopHostsThatDoNotEnd ||
           publishHostEvents;
  }
  static SupervisionSettings Read();
};

}  // namespace zav::custody
