// UTF-8 <-> UTF-16 for the Win32 implementation of the platform layer: the rest of the system
// holds paths and texts as UTF-8, the W functions of Win32 take UTF-16. Internal to win32/.
#pragma once

#include <windows.h>

#include <string>

namespace qx::platform::win32 {

inline std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                    nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

inline std::string Narrow(const wchar_t* text, size_t size) {
  if (size == 0) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), nullptr, 0,
                                    nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), out.data(), n, nullptr, nullptr);
  return out;
}

inline std::string Narrow(const std::wstring& text) { return Narrow(text.data(), text.size()); }

// The system's text for an error code, without its trailing line end, followed by the code.
inline std::string ErrorText(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text = n ? Narrow(buffer, n) : std::string();
  if (buffer) LocalFree(buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' ||
                           text.back() == '.')) {
    text.pop_back();
  }
  if (text.empty()) text = "system error";
  return text + " (error " + std::to_string(code) + ")";
}

}  // namespace qx::platform::win32
