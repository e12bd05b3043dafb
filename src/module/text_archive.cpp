#include "module/text_archive.h"

#include <algorithm>
#include <boost/archive/impl/archive_serializer_map.ipp>
#include <boost/archive/impl/basic_text_iarchive.ipp>
#include <boost/archive/impl/basic_text_oarchive.ipp>
#include <boost/archive/impl/text_iarchive_impl.ipp>
#include <boost/archive/impl/text_oarchive_impl.ipp>
#include <boost/archive/iterators/base64_from_binary.hpp>
#include <boost/archive/iterators/insert_linebreaks.hpp>
#include <boost/archive/iterators/ostream_iterator.hpp>
#include <boost/archive/iterators/transform_width.hpp>

#include "module/event_data.h"
#include "xplat/text.h"

namespace zav {

using boost::archive::archive_exception;

TextOArchive::TextOArchive(std::ostream& stream, unsigned int flags)
    : boost::archive::text_oarchive_impl<TextOArchive>(stream, flags) {
  if ((flags & boost::archive::no_header) == 0) init();
}

// What a reader would refuse is not written: a record saved can be loaded.
void TextOArchive::save(const std::wstring& text) {
  const std::string bytes = xplat::ToUtf16LeBytes(text);
  const std::size_t units = bytes.size() / 2;
  if (units > kMaxArchivedStringUnits) {
    boost::serialization::throw_exception(
        archive_exception(archive_exception::output_stream_error, "string longer than the limit"));
  }
  *this->This() << units;
  this->This()->newtoken();
  os.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void TextOArchive::save_binary(const void* address, std::size_t count) {
  namespace it = boost::archive::iterators;
  using Base64Lines =
      it::insert_linebreaks<it::base64_from_binary<it::transform_width<const char*, 6, 8>>, 72, const char>;
  put('\n');
  this->end_preamble();
  if (count != 0) {
    if (os.fail()) boost::serialization::throw_exception(archive_exception(archive_exception::output_stream_error));
    os.put('\n');
    const char* bytes = static_cast<const char*>(address);
    std::copy(Base64Lines(bytes), Base64Lines(bytes + count), it::ostream_iterator<char>(os));
    const std::size_t tail = count % 3;
    if (tail > 0) os.write("==", static_cast<std::streamsize>(3 - tail));
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
