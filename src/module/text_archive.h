#pragma once
// Boost text archives whose wide strings are UTF-16LE code units on every
// platform (the Windows text archive's form), so a record archived on Linux
// reads back on Windows byte for byte. Loading refuses lengths and counts
// that the remaining input cannot hold or that pass the limits below.

#include <boost/archive/text_iarchive.hpp>
#include <boost/archive/text_oarchive.hpp>
#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <string_view>

class EventData;

namespace zav {

constexpr std::uint64_t kMaxArchivedStringUnits = 1u << 20;
constexpr std::uint64_t kMaxArchivedDataLength = 64u << 20;
constexpr std::uint64_t kMaxArchivedEntries = 1u << 16;

// At most kMaxArchivedStringUnits UTF-16 units.
bool FitsArchive(std::wstring_view text);
// Why the record cannot be archived, or null when it can: what the save
// refuses, for anyone who carries records to be told the same.
const char* ArchiveRefusal(const EventData& record);

class TextOArchive : public boost::archive::text_oarchive_impl<TextOArchive> {
 public:
  explicit TextOArchive(std::ostream& stream, unsigned int flags = 0);
  ~TextOArchive() override = default;

  // Base64 in lines of 72 characters, as the agent's components write it;
  // Boost's own text archive breaks its lines at 76.
  void save_binary(const void* address, std::size_t count);

 protected:
  friend class boost::archive::detail::interface_oarchive<TextOArchive>;
  friend class boost::archive::basic_text_oarchive<TextOArchive>;
  friend class boost::archive::save_access;
  using boost::archive::text_oarchive_impl<TextOArchive>::save;
  void save(const std::wstring& text);
};

class TextIArchive : public boost::archive::text_iarchive_impl<TextIArchive> {
 public:
  explicit TextIArchive(std::istream& stream, unsigned int flags = 0);
  ~TextIArchive() override = default;

  // Throws the archive's input_stream_error unless at least `characters`
  // remain in a seekable input; an unseekable input is bounded by the limits.
  void RequireInput(std::uint64_t characters, const char* what);
  // Throws the archive's input_stream_error on a character base64 does not
  // use or an input that ends first.
  void load_binary(void* address, std::size_t count);
  [[noreturn]] static void Refuse(const char* what);

 protected:
  friend class boost::archive::detail::interface_iarchive<TextIArchive>;
  friend class boost::archive::basic_text_iarchive<TextIArchive>;
  friend class boost::archive::load_access;
  using boost::archive::text_iarchive_impl<TextIArchive>::load;
  void load(std::wstring& text);
  void load(std::string& text);  // the header's signature

 private:
  std::string ReadCountedBytes(std::size_t unitBytes);
};

void SaveEvent(std::ostream& stream, const EventData& record);
// Throws boost::archive::archive_exception on malformed or oversized input.
void LoadEvent(std::istream& stream, EventData& record);

}  // namespace zav
