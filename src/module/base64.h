#pragma once
// Base64 as the agent's archives carry a data block: '=' padding, a line
// break after every so many characters of the encoding (never after its last).

#include <cstddef>
#include <cstdint>
#include <string>

namespace zav {

// The characters n bytes encode to, padding and line breaks left out.
constexpr std::uint64_t Base64Characters(std::uint64_t bytes) { return (bytes * 4 + 2) / 3; }

void AppendBase64Lines(std::string& out, const void* bytes, std::size_t count, std::size_t lineLength);

// The six bits a character stands for, '=' as none; -1 for a character base64
// does not use.
int Base64Value(char character);

}  // namespace zav
