// Windows tells how a process ended by its code alone: a code of the NTSTATUS
// error family (0xC...) is an exception that ended it, the rest an exit.

#include <cstdint>
#include <cwchar>

#include "xplat/process.h"

namespace xplat {
namespace {

struct KnownCrash {
  std::uint32_t code;
  const wchar_t* name;
};

constexpr KnownCrash kKnownCrashes[] = {
    {0xC0000005, L"access violation"},
    {0xC00000FD, L"stack overflow"},
    {0xC0000409, L"stack buffer overrun (fail-fast)"},
    {0xC0000374, L"heap corruption"},
    {0xC000001D, L"illegal instruction"},
    {0xC0000096, L"privileged instruction"},
    {0xC0000094, L"integer divide by zero"},
    {0xC0000095, L"integer overflow"},
    {0xC000008C, L"array bounds exceeded"},
    {0xC000008E, L"floating-point divide by zero"},
    {0xC0000006, L"in-page error"},
    {0xC0000602, L"fail-fast exception"},
};

std::wstring Hex(std::uint32_t code) {
  wchar_t text[16] = {};
  std::swprintf(text, sizeof text / sizeof text[0], L"0x%08X", static_cast<unsigned>(code));
  return text;
}

}  // namespace

std::wstring DescribeExit(const ProcessExit& exit) {
  if (exit.endedHere) return L"ended by the module";
  if ((exit.code & 0xF0000000u) != 0xC0000000u) return L"exited";
  for (const KnownCrash& crash : kKnownCrashes) {
    if (crash.code == exit.code) return L"crashed: " + std::wstring(crash.name) + L" (" + Hex(exit.code) + L")";
  }
  return L"crashed (" + Hex(exit.code) + L")";
}

}  // namespace xplat
