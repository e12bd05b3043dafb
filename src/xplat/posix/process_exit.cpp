// Linux tells how a process ended in the wait's own information: an exit
// with its code, or the signal it died of and whether it dumped core.

#include <string.h>

#include <string>

#include "xplat/process.h"
#include "xplat/text.h"

namespace xplat {

std::wstring DescribeExit(const ProcessExit& exit) {
  if (exit.endedHere) return L"ended by the module";
  if (exit.signal == 0) return L"exited";
  const char* abbreviation = ::sigabbrev_np(exit.signal);
  const std::string name = abbreviation ? std::string("SIG") + abbreviation : "signal " + std::to_string(exit.signal);
  return L"killed by " + FromUtf8(name) + (exit.coreDumped ? L", core dumped" : L"");
}

}  // namespace xplat
