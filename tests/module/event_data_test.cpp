#include "module/event_data.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <utility>

#include "module/text_archive.h"
#include "support/test_environment.h"
#include "xplat/text.h"

namespace {

using boost::archive::archive_exception;

std::string Save(const EventData& record) {
  std::ostringstream out;
  zav::SaveEvent(out, record);
  return out.str();
}

std::unique_ptr<EventData> Load(const std::string& archived) {
  std::istringstream in(archived);
  auto record = std::make_unique<EventData>();
  zav::LoadEvent(in, *record);
  return record;
}

void SetData(EventData& record, const std::string& bytes) {
  record.DataLength = static_cast<std::uint32_t>(bytes.size());
  record.Data = new unsigned char[bytes.size()];
  std::copy(bytes.begin(), bytes.end(), record.Data);
}

std::string DataOf(const EventData& record) {
  return record.Data ? std::string(reinterpret_cast<const char*>(record.Data), record.DataLength) : std::string();
}

// Every field set, with text beyond ASCII and beyond the first plane.
std::unique_ptr<EventData> FullRecord() {
  auto record = std::make_unique<EventData>(L"ZAV.Service", L"ApplyHostPolicy", L"param \u00e9");
  record->PrimaryCode = static_cast<EventCode>(-7);
  record->Sender = L"Service";
  record->SecondaryCode = static_cast<EventCode>(40000);
  record->AuxText1 = L"aux \u4e2d";
  record->AuxText2 = L"smile " + xplat::FromUtf16(u"\U0001F600");
  SetData(*record, "<qvhosts><host name=\"a\"/></qvhosts>");
  record->AuxValue = 4294967295u;
  record->Entries.push_back({1, L"first", L""});
  record->Entries.push_back({-2, L"", L"second"});
  return record;
}

void ExpectSameFields(const EventData& a, const EventData& b) {
  EXPECT_EQ(a.Category, b.Category);
  EXPECT_EQ(a.Name, b.Name);
  EXPECT_EQ(a.PrimaryCode, b.PrimaryCode);
  EXPECT_EQ(a.Sender, b.Sender);
  EXPECT_EQ(a.SecondaryCode, b.SecondaryCode);
  EXPECT_EQ(a.AuxText1, b.AuxText1);
  EXPECT_EQ(a.AuxText2, b.AuxText2);
  EXPECT_EQ(DataOf(a), DataOf(b));
  EXPECT_EQ(a.AuxValue, b.AuxValue);
  EXPECT_EQ(a.Parameter, b.Parameter);
  ASSERT_EQ(a.Entries.size(), b.Entries.size());
  for (std::size_t i = 0; i < a.Entries.size(); ++i) {
    EXPECT_EQ(a.Entries[i].Number, b.Entries[i].Number);
    EXPECT_EQ(a.Entries[i].FirstText, b.Entries[i].FirstText);
    EXPECT_EQ(a.Entries[i].SecondText, b.Entries[i].SecondText);
  }
}

// Set CUSTODEX_WRITE_GOLDEN to a folder to write the golden files anew.
void CompareWithGolden(const std::string& archived, const char* fileName) {
  if (const char* folder = std::getenv("CUSTODEX_WRITE_GOLDEN")) {
    std::ofstream(std::string(folder) + "/" + fileName, std::ios::binary) << archived;
  }
  const std::string golden =
      testing_support::ReadFile(testing_support::TestDataFolder() + L"/" + xplat::FromUtf8(fileName));
  ASSERT_FALSE(golden.empty()) << fileName;
  EXPECT_EQ(archived, golden) << fileName;
}

TEST(EventDataTest, ConstructorsStartFromTheDefaults) {
  EventData record;
  EXPECT_TRUE(record.Category.empty() && record.Name.empty() && record.Parameter.empty() && record.Sender.empty());
  EXPECT_EQ(record.PrimaryCode, EventCode::Default);
  EXPECT_EQ(record.SecondaryCode, EventCode::Default);
  EXPECT_EQ(record.DataLength, 0u);
  EXPECT_EQ(record.Data, nullptr);
  EXPECT_EQ(record.AuxValue, 0u);

  EventData request(L"ZAV.Service", L"RequestPolicy", L"ZAV.Service.ApplyHostPolicy");
  EXPECT_EQ(request.FullName(), L"ZAV.Service.RequestPolicy");
  EXPECT_EQ(request.Parameter, L"ZAV.Service.ApplyHostPolicy");
  EXPECT_EQ(request.PrimaryCode, EventCode::Default);
}

TEST(EventDataTest, ClearResetsEveryFieldAndIsRepeatable) {
  auto record = FullRecord();
  record->Clear();
  EXPECT_EQ(record->Data, nullptr);
  EXPECT_EQ(record->DataLength, 0u);
  EXPECT_TRUE(record->Entries.empty());
  EXPECT_TRUE(record->AuxText2.empty());
  EXPECT_EQ(record->SecondaryCode, EventCode::Default);
  record->Clear();
  EXPECT_EQ(record->Data, nullptr);
}

TEST(EventDataArchiveTest, DefaultRecordRoundTripsWithoutABinaryBlock) {
  EventData record;
  const std::string archived = Save(record);
  EXPECT_EQ(archived.find("\n\n"), std::string::npos);
  auto loaded = Load(archived);
  ExpectSameFields(record, *loaded);
  EXPECT_EQ(loaded->Data, nullptr);
  CompareWithGolden(archived, "default_record.archive");
}

TEST(EventDataArchiveTest, FullRecordMatchesTheGoldenBytesAndRoundTrips) {
  auto record = FullRecord();
  const std::string archived = Save(*record);
  CompareWithGolden(archived, "full_record.archive");
  ExpectSameFields(*record, *Load(archived));
}

TEST(EventDataArchiveTest, GoldenArchiveLoadsOnThisPlatform) {
  const std::string golden = testing_support::ReadFile(testing_support::TestDataFolder() + L"/full_record.archive");
  ExpectSameFields(*FullRecord(), *Load(golden));
}

TEST(EventDataArchiveTest, ThreePayloadBytesTravelAsOneBase64Block) {
  EventData record;
  SetData(record, "abc");
  const std::string archived = Save(record);
  EXPECT_NE(archived.find(" 3\n\nYWJj\n0 "), std::string::npos) << archived;
  auto loaded = Load(archived);
  EXPECT_EQ(loaded->DataLength, 3u);
  EXPECT_EQ(DataOf(*loaded), "abc");
}

TEST(EventDataArchiveTest, LongPayloadsBreakIntoLinesAndPad) {
  EventData record;
  SetData(record, std::string(100, '\x01'));
  const std::string archived = Save(record);
  EXPECT_NE(archived.find("==\n0 "), std::string::npos);
  EXPECT_EQ(DataOf(*Load(archived)), std::string(100, '\x01'));
}

TEST(EventDataArchiveTest, LongPayloadBreaksIntoLinesOf72CharactersAndTheNextItemStartsALine) {
  std::string payload(300, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i % 256);
  EventData record;
  SetData(record, payload);
  const std::string archived = Save(record);
  CompareWithGolden(archived, "long_data_record.archive");

  const std::size_t block = archived.find(" 300\n\n");
  ASSERT_NE(block, std::string::npos);
  std::istringstream lines(archived.substr(block + 6));
  std::vector<std::size_t> lengths;
  for (std::string line; std::getline(lines, line) && line.find(' ') == std::string::npos;)
    lengths.push_back(line.size());
  EXPECT_EQ(lengths, (std::vector<std::size_t>{72, 72, 72, 72, 72, 40}));
  EXPECT_EQ(archived.substr(block + 6 + 5 * 73 + 40, 3), "\n0 ") << "AuxValue follows on a line of its own";
  EXPECT_EQ(DataOf(*Load(archived)), payload);
}

TEST(EventDataArchiveTest, LoadingNoDataLeavesTheRecordsBufferAsItWas) {
  EventData record;
  SetData(record, "kept");
  unsigned char* const data = record.Data;
  std::istringstream in(Save(EventData()));
  zav::LoadEvent(in, record);
  EXPECT_EQ(record.DataLength, 0u);
  EXPECT_EQ(record.Data, data);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), 4), "kept");
}

TEST(EventDataArchiveTest, CodesComeBeforeTheSender) {
  EventData record(L"C", L"N", L"");
  record.PrimaryCode = static_cast<EventCode>(5);
  record.SecondaryCode = static_cast<EventCode>(6);
  record.Sender = L"S";
  const std::string archived = Save(record);
  EXPECT_NE(archived.find(std::string("N\0 5 6 1 S\0", 11)), std::string::npos);
}

TEST(EventDataArchiveTest, EntriesKeepTheirOrder) {
  auto loaded = Load(Save(*FullRecord()));
  ASSERT_EQ(loaded->Entries.size(), 2u);
  EXPECT_EQ(loaded->Entries[0].FirstText, L"first");
  EXPECT_EQ(loaded->Entries[1].Number, -2);
}

TEST(EventDataArchiveTest, StringsLoadUpToTheirFirstZero) {
  EventData record(std::wstring(L"ab\0cd", 5), L"N", L"");
  const std::string archived = Save(record);
  EXPECT_NE(archived.find(std::string(" 5 a\0b\0\0\0c\0d\0", 13)), std::string::npos);
  EXPECT_EQ(Load(archived)->Category, L"ab");
}

// Archives that claim more than they hold, or more than any record needs,
// are refused before anything that size is allocated.
class MalformedArchiveTest : public ::testing::Test {
 protected:
  // The default record's archive with one item replaced.
  static std::string DefaultWith(const std::string& from, const std::string& to) {
    std::string archived = Save(EventData());
    std::size_t at = archived.find(from);
    EXPECT_NE(at, std::string::npos);
    return archived.replace(at, from.size(), to);
  }
  static void ExpectRefused(const std::string& archived, archive_exception::exception_code code) {
    try {
      Load(archived);
      ADD_FAILURE() << "loaded";
    } catch (const archive_exception& error) {
      EXPECT_EQ(error.code, code) << error.what();
    }
  }
};

TEST_F(MalformedArchiveTest, HugeStringLengthIsRefused) {
  ExpectRefused(DefaultWith(" 0 0 0 ", " 0 0 4000000000 "), archive_exception::input_stream_error);
  ExpectRefused(DefaultWith(" 0 0 0 ", " 0 0 1000 "), archive_exception::input_stream_error);
}

TEST_F(MalformedArchiveTest, HugeSignatureLengthIsRefused) {
  ExpectRefused("7777777777777777 serialization::archive 19 0 0 ", archive_exception::input_stream_error);
}

TEST_F(MalformedArchiveTest, HugeDataLengthIsRefused) {
  ExpectRefused(DefaultWith("2 2 0  0  0  0", "2 2 0  0  0  4294967295"), archive_exception::input_stream_error);
  ExpectRefused(DefaultWith("2 2 0  0  0  0", "2 2 0  0  0  30000"), archive_exception::input_stream_error);
}

TEST_F(MalformedArchiveTest, HugeEntryCountIsRefused) {
  ExpectRefused(DefaultWith("  0\n", "  18446744073709551615\n"), archive_exception::input_stream_error);
  ExpectRefused(DefaultWith("  0\n", "  5000\n"), archive_exception::input_stream_error);
}

TEST(EventDataArchiveTest, BlanksWithinADataBlockAreSkipped) {
  EventData record;
  SetData(record, "abc");
  std::string archived = Save(record);
  EXPECT_EQ(DataOf(*Load(archived.replace(archived.find("YWJj"), 4, "YW \n\tJj"))), "abc");
}

TEST_F(MalformedArchiveTest, DataBlockWithAForeignCharacterIsRefused) {
  EventData record;
  SetData(record, "abc");
  std::string archived = Save(record);
  ExpectRefused(archived.insert(archived.find("YWJj") + 2, "*"), archive_exception::input_stream_error);
}

TEST_F(MalformedArchiveTest, NewerClassVersionIsRefused) {
  ExpectRefused(DefaultWith("archive 19 0 0 ", "archive 19 0 1 "), archive_exception::unsupported_class_version);
}

TEST_F(MalformedArchiveTest, EveryTruncationThrowsAndNeverCrashes) {
  const std::string archived = Save(*FullRecord());
  for (std::size_t length = 0; length + 1 < archived.size(); ++length) {
    std::istringstream in(archived.substr(0, length));
    EventData record;
    try {
      zav::LoadEvent(in, record);
      // Only the closing newline and the last entry's tail may go missing
      // without notice: a shorter last string still reads as a string.
    } catch (const std::exception&) {
    }
  }
  SUCCEED();
}

TEST(EventDataArchiveTest, RecordClaimingBytesItLacksIsNotSaved) {
  EventData record;
  record.DataLength = 10;
  std::ostringstream out;
  EXPECT_THROW(zav::SaveEvent(out, record), archive_exception);
}

// The limit counts UTF-16 units: a character beyond the BMP takes two.
TEST(EventDataArchiveTest, AStringFitsByItsUtf16Units) {
  const std::size_t limit = zav::kMaxArchivedStringUnits;
  const auto astral = [](std::size_t characters) {
    std::wstring text;
    for (std::size_t i = 0; i < characters; ++i) text += L"\U0001F600";
    return text;
  };
  const std::pair<std::wstring, bool> cases[] = {{std::wstring(limit, L'p'), true},
                                                 {std::wstring(limit + 1, L'p'), false},
                                                 {astral(limit / 2), true},
                                                 {astral(limit / 2 + 1), false}};
  for (const auto& [text, fits] : cases) EXPECT_EQ(zav::FitsArchive(text), fits) << text.size();
}

TEST_F(MalformedArchiveTest, NotAnArchiveIsRefused) {
  ExpectRefused(DefaultWith("serialization::archive", "serialization::archivX"), archive_exception::invalid_signature);
  ExpectRefused("hello world", archive_exception::input_stream_error);
}

}  // namespace
