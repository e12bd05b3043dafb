// The archive form of EventData. The two codes follow Name, ahead of Sender;
// the entries are written by an explicit loop so no collection header appears.

#include <memory>

#include "module/base64.h"
#include "module/event_data.h"
#include "module/text_archive.h"

namespace {

// A loaded string ends at its first zero character.
template <class Archive>
void LoadText(Archive& archive, std::wstring& field) {
  std::wstring text;
  archive >> text;
  field = text.c_str();
}

// Each entry is at least three one-digit items, each behind a separator.
constexpr std::uint64_t kMinEntryCharacters = 6;

}  // namespace

namespace zav {

const char* ArchiveRefusal(const EventData& record) {
  if (record.DataLength != 0 && record.Data == nullptr) return "data length without data";
  // What a reader would refuse is not written.
  if (record.DataLength > kMaxArchivedDataLength) return "data block longer than the limit";
  if (record.Entries.size() > kMaxArchivedEntries) return "more entries than the limit";
  for (const std::wstring* text :
       {&record.Category, &record.Name, &record.Sender, &record.AuxText1, &record.AuxText2, &record.Parameter}) {
    if (!FitsArchive(*text)) return "string longer than the limit";
  }
  for (const EventEntry& entry : record.Entries) {
    if (!FitsArchive(entry.FirstText) || !FitsArchive(entry.SecondText)) return "string longer than the limit";
  }
  return nullptr;
}

}  // namespace zav

template <class Archive>
void EventData::save(Archive& archive, unsigned int) const {
  const auto refuse = [](const char* what) {
    boost::serialization::throw_exception(
        boost::archive::archive_exception(boost::archive::archive_exception::output_stream_error, what));
  };
  if (const char* why = zav::ArchiveRefusal(*this)) refuse(why);
  const std::int32_t primary = static_cast<std::int32_t>(PrimaryCode);
  const std::int32_t secondary = static_cast<std::int32_t>(SecondaryCode);
  archive << Category << Name << primary << secondary << Sender << AuxText1 << AuxText2 << DataLength;
  if (DataLength != 0) archive.save_binary(Data, DataLength);
  archive << AuxValue << Parameter;
  const std::uint64_t count = Entries.size();
  archive << count;
  for (const EventEntry& entry : Entries) archive << entry.Number << entry.FirstText << entry.SecondText;
}

template <class Archive>
void EventData::load(Archive& archive, unsigned int version) {
  // Boost no longer checks this itself; a newer layout must not be misread.
  if (version > 0) {
    boost::serialization::throw_exception(
        boost::archive::archive_exception(boost::archive::archive_exception::unsupported_class_version));
  }
  LoadText(archive, Category);
  LoadText(archive, Name);
  std::int32_t primary = 0;
  std::int32_t secondary = 0;
  archive >> primary >> secondary;
  PrimaryCode = static_cast<EventCode>(primary);
  SecondaryCode = static_cast<EventCode>(secondary);
  LoadText(archive, Sender);
  LoadText(archive, AuxText1);
  LoadText(archive, AuxText2);
  std::uint32_t length = 0;
  archive >> length;
  if (length != 0) {
    if (length > zav::kMaxArchivedDataLength) Archive::Refuse("data block longer than the limit");
    archive.RequireInput(zav::Base64Characters(length), "data block longer than the input");
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[length]());
    archive.load_binary(buffer.get(), length);
    delete[] Data;
    Data = buffer.release();
  }
  DataLength = length;
  archive >> AuxValue;
  LoadText(archive, Parameter);
  std::uint64_t count = 0;
  archive >> count;
  if (count > zav::kMaxArchivedEntries) Archive::Refuse("more entries than the limit");
  archive.RequireInput(count * kMinEntryCharacters, "more entries than the input");
  for (std::uint64_t i = 0; i < count; ++i) {
    EventEntry entry;
    archive >> entry.Number;
    LoadText(archive, entry.FirstText);
    LoadText(archive, entry.SecondText);
    Entries.push_back(std::move(entry));
  }
}

template void EventData::save<zav::TextOArchive>(zav::TextOArchive&, unsigned int) const;
template void EventData::load<zav::TextIArchive>(zav::TextIArchive&, unsigned int);
