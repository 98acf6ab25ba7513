#pragma once

#include <string>
#include <string_view>

// The Windows backend's conversions between the programs' UTF-8 and the system's UTF-16 and ANSI
// code page. Internal to platform/windows.
namespace velmor::platform::windows {

// UTF-8 to UTF-16; an invalid sequence becomes U+FFFD.
std::wstring Widen(std::string_view text);
// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Narrow(std::wstring_view text);
// The system's message for a Windows error code (GetLastError), in UTF-8, without the line end.
std::string ErrorText(unsigned long error);

}  // namespace velmor::platform::windows
