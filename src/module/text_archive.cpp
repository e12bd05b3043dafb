#include "module/text_archive.h"

#include <algorithm>
#include <boost/archive/impl/archive_serializer_map.ipp>
#include <boost/archive/impl/basic_text_iarchive.ipp>
#include <boost/archive/impl/basic_text_oarchive.ipp>
#include <boost/archive/impl/text_iarchive_impl.ipp>
#include <boost/archive/impl/text_oarchive_impl.ipp>

#include "module/base64.h"
#include "module/event_data.h"
#include "xplat/text.h"

namespace zav {

using boost::archive::archive_exception;

TextOArchive::TextOArchive(std::ostream& stream, unsigned int flags)
    : boost::archive::text_oarchive_impl<TextOArchive>(stream, flags) {
  if ((flags & boost::archive::no_header) == 0) init();
}

bool FitsArchive(std::wstring_view text) {
  // A character takes one or two units.
  if (text.size() > kMaxArchivedStringUnits) return false;
  return text.size() * 2 <= kMaxArchivedStringUnits || xplat::ToUtf16(text).size() <= kMaxArchivedStringUnits;
}

// What a reader would refuse is not written: a record saved can be loaded.
void TextOArchive::save(const std::wstring& text) {
  if (!FitsArchive(text)) {
    boost::serialization::throw_exception(
        archive_exception(archive_exception::output_stream_error, "string longer than the limit"));
  }
  const std::string bytes = xplat::ToUtf16LeBytes(text);
  *this->This() << bytes.size() / 2;
  this->This()->newtoken();
  os.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void TextOArchive::save_binary(const void* address, std::size_t count) {
  put('\n');
  this->end_preamble();
  if (count != 0) {
    if (os.fail()) boost::serialization::throw_exception(archive_exception(archive_exception::output_stream_error));
    // In whole lines of a bounded piece at a time, so a large block is never held twice.
    constexpr std::size_t kLineCharacters = 72;
    constexpr std::size_t kPieceBytes = kLineCharacters / 4 * 3 * 1024;
    const char* bytes = static_cast<const char*>(address);
    std::string text;
    for (std::size_t done = 0; done < count; done += kPieceBytes) {
      text.assign(1, '\n');
      AppendBase64Lines(text, bytes + done, std::min(kPieceBytes, count - done), kLineCharacters);
      os.write(text.data(), static_cast<std::streamsize>(text.size()));
    }
  }
  this->delimiter = this->eol;
}

TextIArchive::TextIArchive(std::istream& stream, unsigned int flags)
    : boost::archive::text_iarchive_impl<TextIArchive>(stream, flags) {
  if ((flags & boost::archive::no_header) == 0) init();
}

void TextIArchive::Refuse(const char* what) {
  boost::serialization::throw_exception(archive_exception(archive_exception::input_stream_error, what));
}

void TextIArchive::RequireInput(std::uint64_t characters, const char* what) {
  const std::istream::pos_type here = is.tellg();
  if (here == std::istream::pos_type(-1)) return;
  is.seekg(0, std::ios::end);
  const std::istream::pos_type end = is.tellg();
  is.seekg(here);
  if (end == std::istream::pos_type(-1) || !is) Refuse(what);
  if (static_cast<std::uint64_t>(end - here) < characters) Refuse(what);
}

// A length in units, a separating space, then the units' raw bytes.
std::string TextIArchive::ReadCountedBytes(std::size_t unitBytes) {
  std::size_t units = 0;
  *this->This() >> units;
  if (units > kMaxArchivedStringUnits) Refuse("string longer than the limit");
  const std::size_t byteCount = units * unitBytes;
  RequireInput(1 + static_cast<std::uint64_t>(byteCount), "string longer than the input");
  is.get();
  std::string bytes(byteCount, '\0');
  is.read(bytes.data(), static_cast<std::streamsize>(byteCount));
  if (static_cast<std::size_t>(is.gcount()) != byteCount) Refuse("string cut short");
  return bytes;
}

namespace {

bool IsSpace(int character) { return character == ' ' || (character >= '\t' && character <= '\r'); }

}  // namespace

// As many characters as the bytes need, blanks skipped, then the rest of the
// block up to and with the blank after it (the padding).
void TextIArchive::load_binary(void* address, std::size_t count) {
  if (count == 0) return;
  if (is.fail()) Refuse("data block after a failed read");
  std::streambuf& input = *is.rdbuf();
  auto* bytes = static_cast<unsigned char*>(address);
  std::uint32_t bits = 0;
  unsigned held = 0;
  for (std::size_t produced = 0; produced < count;) {
    const int character = input.sbumpc();
    if (character == std::char_traits<char>::eof()) {
      is.setstate(std::ios::eofbit | std::ios::failbit);
      Refuse("data block cut short");
    }
    if (IsSpace(character)) continue;
    const int value = Base64Value(static_cast<char>(character));
    if (value < 0) Refuse("not a base64 character in a data block");
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    held += 6;
    if (held >= 8) {
      held -= 8;
      bytes[produced++] = static_cast<unsigned char>(bits >> held);
      bits &= (1u << held) - 1;
    }
  }
  for (;;) {
    const int character = input.sbumpc();
    if (character == std::char_traits<char>::eof()) {
      is.setstate(std::ios::eofbit | std::ios::failbit);
      return;
    }
    if (IsSpace(character)) return;
  }
}

void TextIArchive::load(std::wstring& text) {
  const std::string bytes = ReadCountedBytes(2);
  text = xplat::FromUtf16LeBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

void TextIArchive::load(std::string& text) { text = ReadCountedBytes(1); }

void SaveEvent(std::ostream& stream, const EventData& record) {
  TextOArchive archive(stream);
  archive << record;
}

void LoadEvent(std::istream& stream, EventData& record) {
  TextIArchive archive(stream);
  archive >> record;
}

}  // namespace zav

template class boost::archive::basic_text_oarchive<zav::TextOArchive>;
template class boost::archive::text_oarchive_impl<zav::TextOArchive>;
template class boost::archive::detail::archive_serializer_map<zav::TextOArchive>;
template class boost::archive::basic_text_iarchive<zav::TextIArchive>;
template class boost::archive::text_iarchive_impl<zav::TextIArchive>;
template class boost::archive::detail::archive_serializer_map<zav::TextIArchive>;
