#include "module/broker_binding.h"

#include <cstdio>
#include <cstring>
#include <optional>

#include "config/agent_keys.h"
#include "xplat/registry.h"

namespace {

constexpr std::size_t kPathCapacity = 259;

unsigned char* CopyWithTerminator(const void* bytes, std::uint32_t length) {
  if (length == 0) return nullptr;
  auto* copy = new unsigned char[static_cast<std::size_t>(length) + 1]();
  std::memcpy(copy, bytes, length);
  return copy;
}

}  // namespace

BrokerBinding::BrokerBinding() {
  xplat::RegistryKey key = xplat::RegistryKey::Open(agent_keys::kAgent, xplat::RegistryAccess::Read);
  const std::optional<std::wstring> folder = xplat::ReadRegistryText(key, L"Path", kPathCapacity);
  if (folder) xplat::SetLibraryDirectory(folder->c_str());
  try {
    library = xplat::DynamicLibrary::Load(L"Hubrelle");
  } catch (...) {
    std::printf("Hubrelle.dll not loaded, access denied.\n");
  }
  xplat::SetLibraryDirectory(nullptr);
  if (library.IsLoaded()) {
    auto getQueue = library.Find<GetEventQueueInstanceFunction>("GetEventQueueInstance");
    if (getQueue) queue = getQueue();
    if (!queue) std::printf("Hubrelle.dll!GetEventQueueInstance() gave no event queue.\n");
  } else {
    std::printf("Hubrelle.dll not loaded.\n");
  }
}

bool BrokerBinding::Post(EventData& record) {
  if (!queue) return false;
  if (record.DataLength != 0 && record.Data == nullptr) return false;  // claims bytes it does not have
  // The previous buffer is the caller's: it may not even be on the heap.
  record.Data = CopyWithTerminator(record.Data, record.DataLength);
  return queue->Post(record);
}

bool BrokerBinding::Send(const std::wstring& fullName, std::uint32_t length, const void* bytes, EventCode code,
                         const std::wstring& sender) {
  EventData record;
  if (!queue) return false;
  if (length != 0 && bytes == nullptr) return false;
  SplitFullName(fullName, record.Category, record.Name);
  record.PrimaryCode = code;
  record.Sender = sender;
  record.DataLength = length;
  record.Data = CopyWithTerminator(bytes, length);
  return queue->Post(record);
}

void BrokerBinding::SplitFullName(const std::wstring& fullName, std::wstring& category, std::wstring& name) {
  const std::size_t point = fullName.rfind(L'.');
  if (point == std::wstring::npos) {
    category = name = fullName;
    return;
  }
  category = fullName.substr(0, point);
  name = fullName.substr(point + 1);
}
