#include "service/console.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace service {
namespace {

std::mutex consoleMutex;

void WriteLine(const char* prefix, const char* format, va_list args) {
  std::lock_guard<std::mutex> lock(consoleMutex);
  std::fputs(prefix, stdout);
  std::vfprintf(stdout, format, args);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace

void Say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteLine("service: ", format, args);
  va_end(args);
}

void SayPlain(const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteLine("", format, args);
  va_end(args);
}

}  // namespace service
