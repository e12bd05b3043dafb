#include "module/base64.h"

namespace zav {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

void AppendBase64Lines(std::string& out, const void* bytes, std::size_t count, std::size_t lineLength) {
  const auto* in = static_cast<const std::uint8_t*>(bytes);
  const std::size_t characters = static_cast<std::size_t>(Base64Characters(count));
  const std::size_t breaks = characters == 0 ? 0 : (characters - 1) / lineLength;
  const std::size_t padding = (3 - count % 3) % 3;
  std::size_t at = out.size();
  out.resize(at + characters + breaks + padding);
  std::size_t onLine = 0;
  auto put = [&](std::uint32_t sixBits) {
    if (onLine == lineLength) {
      out[at++] = '\n';
      onLine = 0;
    }
    out[at++] = kAlphabet[sixBits & 0x3F];
    ++onLine;
  };
  std::size_t next = 0;
  for (; next + 3 <= count; next += 3) {
    const std::uint32_t group = (std::uint32_t{in[next]} << 16) | (std::uint32_t{in[next + 1]} << 8) | in[next + 2];
    put(group >> 18);
    put(group >> 12);
    put(group >> 6);
    put(group);
  }
  if (padding == 0) return;
  const std::uint32_t group = (std::uint32_t{in[next]} << 16) | (padding == 1 ? std::uint32_t{in[next + 1]} << 8 : 0);
  put(group >> 18);
  put(group >> 12);
  if (padding == 1) put(group >> 6);
  for (std::size_t i = 0; i < padding; ++i) out[at++] = '=';
}

int Base64Value(char character) {
  if (character >= 'A' && character <= 'Z') return character - 'A';
  if (character >= 'a' && character <= 'z') return character - 'a' + 26;
  if (character >= '0' && character <= '9') return character - '0' + 52;
  if (character == '+') return 62;
  if (character == '/') return 63;
  if (character == '=') return 0;
  return -1;
}

}  // namespace zav
