#pragma once
// The service's lines on standard output, "service: ..." each, whole lines
// even when several threads write.

namespace service {

void Say(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// A line without the prefix (help texts, narration).
void SayPlain(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

}  // namespace service
