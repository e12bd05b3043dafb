#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "module/broker_binding.h"
#include "module/entry_points.h"
#include "support/broker_journal.h"
#include "support/test_environment.h"
#include "xplat/dynamic_library.h"
#include "xplat/file_system.h"
#include "xplat/file_version.h"
#include "xplat/text.h"

namespace {

using ExportFunction = std::int32_t (*)();

xplat::DynamicLibrary LoadModule() { return xplat::DynamicLibrary::Load(xplat::LibraryFileName(L"Custodex")); }

TEST(ExportsTest, ReportsInterfaceVersion1001) {
  xplat::DynamicLibrary module = LoadModule();
  ASSERT_TRUE(module.IsLoaded());
  auto version = module.Find<ExportFunction>("ReturnAPIInterfaceVersion");
  ASSERT_NE(version, nullptr);
  EXPECT_EQ(version(), 1001);
}

// The version comes from the project through the Windows version resource or
// the Linux file name the soname links to.
TEST(ExportsTest, TheLoadedModuleCarriesTheProjectsVersion) {
  xplat::DynamicLibrary module = LoadModule();
  ASSERT_TRUE(module.IsLoaded());
#if defined(_WIN32)
  const std::wstring expected = xplat::FromUtf8(CUSTODEX_VERSION) + L".0";
#else
  const std::wstring expected = xplat::FromUtf8(CUSTODEX_VERSION);
#endif
  EXPECT_EQ(xplat::FileVersion(module.FilePath()), expected) << xplat::ToUtf8(module.FilePath());
}

TEST(ExportsTest, ExecuteRunsUntilTerminateThreadThenReturnsZero) {
  xplat::DynamicLibrary module = LoadModule();
  auto execute = module.Find<ExportFunction>("Execute");
  ASSERT_NE(execute, nullptr);
  std::int32_t result = -5;
  BrokerBinding broker;
  auto service = xplat::CreateEventSignal(L"Service");
  broker.Queue()->Register(L"ZAV.Service.RequestPolicy", *service);  // answers the start-up request at once
  ::testing::internal::CaptureStdout();
  std::thread thread([&] { result = execute(); });
  ASSERT_TRUE(testing_support::WaitForJournalLine(L"Custodex", L"+ZAV.Service.InstallingModulesDone"));
  EXPECT_TRUE(broker.Send(L"ZAV.Service.TerminateThread", 0, nullptr, EventCode::Default, L"Service"));
  thread.join();
  ::testing::internal::GetCapturedStdout();
  broker.Queue()->Unregister(L"ZAV.Service.RequestPolicy", *service);
  EXPECT_EQ(result, 0);
  std::vector<std::wstring> journal = testing_support::JournalOf(L"Custodex");
  EXPECT_EQ(journal.back(), L"-ZAV.Service.InstallingModulesDone") << "the destructor unregistered it last";
}

class QuietModule : public ZAVModuleInterface {
 public:
  void Execute() override {}
  bool WaitForEvents() override { return false; }
  EventData* PullEvent() override { return nullptr; }
  bool HasEvents() override { return false; }
  void ReleaseEvent(EventData*) override {}
  void SetWaitTimeout(std::int32_t) override {}
  bool RegisterEvent(std::wstring) override { return false; }
  bool UnregisterEvent(std::wstring) override { return false; }
  bool SendEvent(std::wstring, std::uint32_t, const void*, std::int32_t) override { return false; }
  bool PostEventWithRetry(EventData&, std::uint32_t) override { return false; }
};

class ThrowingModule : public QuietModule {
 public:
  void Execute() override { throw std::runtime_error("loop failed"); }
};

TEST(RunModuleTest, ReturnsZeroAfterTheLoopAndMinusOneWithoutAModule) {
  EXPECT_EQ(RunModule([]() -> ZAVModuleInterface* { return new QuietModule; }), 0);
  EXPECT_EQ(RunModule([]() -> ZAVModuleInterface* { return nullptr; }), -1);
}

TEST(RunModuleTest, AnEscapingExceptionBecomesMinusOne) {
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(RunModule([]() -> ZAVModuleInterface* { return new ThrowingModule; }), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Module stopped by an exception: loop failed\n");
}

#if defined(_WIN32)

// Reads the export names of a PE32+ x86-64 image from the file itself.
class PeImage {
 public:
  explicit PeImage(std::string bytes) : image(std::move(bytes)) {}
  template <typename T>
  T At(std::size_t offset) const {
    T value{};
    if (offset + sizeof(T) <= image.size()) std::memcpy(&value, image.data() + offset, sizeof(T));
    return value;
  }
  std::size_t Header() const { return At<std::uint32_t>(0x3C); }
  std::uint16_t Machine() const { return At<std::uint16_t>(Header() + 4); }
  std::uint16_t Magic() const { return At<std::uint16_t>(Header() + 24); }
  std::size_t FileOffset(std::uint32_t rva) const {
    const std::size_t sections = Header() + 24 + At<std::uint16_t>(Header() + 20);
    for (std::uint16_t i = 0; i < At<std::uint16_t>(Header() + 6); ++i) {
      const std::size_t section = sections + i * 40;
      const std::uint32_t address = At<std::uint32_t>(section + 12);
      const std::uint32_t size = At<std::uint32_t>(section + 8);
      if (rva >= address && rva < address + size) return rva - address + At<std::uint32_t>(section + 20);
    }
    return 0;
  }
  std::vector<std::string> ImportedLibraries() const {
    std::vector<std::string> result;
    for (std::size_t entry = FileOffset(At<std::uint32_t>(Header() + 24 + 120)); At<std::uint32_t>(entry + 12) != 0;
         entry += 20) {
      result.emplace_back(image.c_str() + FileOffset(At<std::uint32_t>(entry + 12)));
    }
    return result;
  }
  std::vector<std::string> ExportNames() const {
    const std::size_t directory = FileOffset(At<std::uint32_t>(Header() + 24 + 112));
    const std::uint32_t count = At<std::uint32_t>(directory + 24);
    const std::size_t names = FileOffset(At<std::uint32_t>(directory + 32));
    std::vector<std::string> result;
    for (std::uint32_t i = 0; i < count; ++i) {
      result.emplace_back(image.c_str() + FileOffset(At<std::uint32_t>(names + 4 * i)));
    }
    return result;
  }

 private:
  std::string image;
};

TEST(ExportsTest, DllIsPe32PlusForX64AndExportsBothEntryPointsUndecorated) {
  std::wstring program = xplat::ExecutablePath();
  PeImage dll(testing_support::ReadFile(program.substr(0, program.find_last_of(L"\\/") + 1) + L"Custodex.dll"));
  EXPECT_EQ(dll.Machine(), 0x8664);
  EXPECT_EQ(dll.Magic(), 0x20B);
  EXPECT_EQ(dll.ExportNames(), (std::vector<std::string>{"Execute", "ReturnAPIInterfaceVersion"}));
  // Only the system's libraries: the C++ run-time is linked in.
  for (std::string library : dll.ImportedLibraries()) {
    for (char& c : library) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_TRUE(library == "kernel32.dll" || library == "advapi32.dll" || library == "shell32.dll" ||
                library == "msvcrt.dll" || library.rfind("api-ms-win-", 0) == 0)
        << library;
  }
}

std::wstring VersionText(const std::vector<unsigned char>& block, const std::wstring& name) {
  wchar_t* text = nullptr;
  UINT length = 0;
  const std::wstring path = L"\\StringFileInfo\\040904b0\\" + name;
  if (!::VerQueryValueW(block.data(), path.c_str(), reinterpret_cast<void**>(&text), &length) || !text) return L"";
  return text;
}

// What Explorer's Details tab and inventory tools read, through the version API.
TEST(ExportsTest, VersionResourceNamesTheProductAndItsFile) {
  const std::wstring dll = xplat::FolderOf(xplat::ExecutablePath()) + L"\\Custodex.dll";
  DWORD ignored = 0;
  std::vector<unsigned char> block(::GetFileVersionInfoSizeW(dll.c_str(), &ignored));
  ASSERT_FALSE(block.empty());
  ASSERT_TRUE(::GetFileVersionInfoW(dll.c_str(), 0, static_cast<DWORD>(block.size()), block.data()));
  const std::wstring version = xplat::FromUtf8(CUSTODEX_VERSION);
  const std::pair<const wchar_t*, std::wstring> exact[] = {{L"FileVersion", version},
                                                           {L"ProductVersion", version},
                                                           {L"ProductName", L"Custodex"},
                                                           {L"OriginalFilename", L"Custodex.dll"}};
  for (const auto& [name, value] : exact) EXPECT_EQ(VersionText(block, name), value) << xplat::ToUtf8(name);
  for (const wchar_t* name : {L"CompanyName", L"FileDescription", L"LegalCopyright"}) {
    EXPECT_FALSE(VersionText(block, name).empty()) << xplat::ToUtf8(name);
  }
}

#else

TEST(ExportsTest, SharedLibraryExportsBothEntryPointsAndHidesItsInternals) {
  xplat::DynamicLibrary module = LoadModule();
  EXPECT_NE(module.Symbol("Execute"), nullptr);
  EXPECT_NE(module.Symbol("ReturnAPIInterfaceVersion"), nullptr);
  EXPECT_EQ(module.Symbol("_ZN9ZAVModule7ExecuteEv"), nullptr);
  EXPECT_EQ(module.Symbol("GetEventQueueInstance"), nullptr);
}

#endif

}  // namespace
