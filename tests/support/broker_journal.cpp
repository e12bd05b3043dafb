#include "support/broker_journal.h"

#include <chrono>
#include <thread>

#include "xplat/dynamic_library.h"

namespace testing_support {
namespace {

using JournalFunction = std::size_t (*)(wchar_t*, std::size_t);
using ClearFunction = void (*)();
using RefuseFunction = void (*)(const wchar_t*);
using WithholdFunction = void (*)(unsigned);

const xplat::DynamicLibrary& Broker() {
  static xplat::DynamicLibrary library = xplat::DynamicLibrary::Load(L"Hubrelle");
  return library;
}

}  // namespace

std::vector<std::wstring> JournalOf(const std::wstring& signalName) {
  auto journal = Broker().Find<JournalFunction>("HubrelleJournal");
  if (!journal) return {};
  std::wstring text(journal(nullptr, 0), L'\0');
  journal(text.data(), text.size());
  std::vector<std::wstring> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1) {
    std::wstring line = text.substr(start, end - start);
    const std::size_t space = line.find(L' ');
    if (line.compare(1, space - 1, signalName) == 0 && space == signalName.size() + 1) {
      lines.push_back(line.substr(0, 1) + line.substr(space + 1));
    }
  }
  return lines;
}

void ClearJournal() {
  if (auto clear = Broker().Find<ClearFunction>("HubrelleClearJournal")) clear();
}

void RefuseRegistration(const std::wstring& fullName) {
  if (auto refuse = Broker().Find<RefuseFunction>("HubrelleRefuseRegistration")) refuse(fullName.c_str());
}

void WithholdPulls(unsigned count) {
  if (auto withhold = Broker().Find<WithholdFunction>("HubrelleWithholdPulls")) withhold(count);
}

bool WaitForJournalLine(const std::wstring& signalName, const std::wstring& line) {
  for (int i = 0; i < 1000; ++i) {
    for (const std::wstring& entry : JournalOf(signalName)) {
      if (entry == line) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace testing_support
