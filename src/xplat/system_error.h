#pragma once
// The calling thread's last error code and the system's text for a code.
// Windows codes on Windows, errno values on Linux.

#include <cstdint>
#include <optional>
#include <string>

namespace xplat {

using ErrorCode = std::uint32_t;

ErrorCode LastError();
void SetLastError(ErrorCode code);

// The system's message for a code, as the system words it: Windows ends its
// texts with "\r\n", and the Linux back-end does the same so that callers
// trim both alike. Empty when the system has no text for the code.
std::optional<std::wstring> SystemMessage(ErrorCode code);
// The message on one line, for a record or a line of its own: no line
// break at its end; "error N" when the system has none.
std::wstring ErrorText(ErrorCode code);

}  // namespace xplat
