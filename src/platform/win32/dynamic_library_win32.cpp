// Windows implementation of dynamic_library.h. LoadLibraryEx says ERROR_MOD_NOT_FOUND both when
// the file itself is missing and when one of its dependencies is, so the file is looked for
// separately (at its path, or on the loader's search path) to tell the two apart.
#include <windows.h>

#include "platform/dynamic_library.h"
#include "platform/platform.h"
#include "platform/win32/wide.h"

namespace qx::platform {
namespace {

bool LibraryFileFound(const std::string& name) {
  if (name.find_first_of("\\/") != std::string::npos) return FileExists(name);
  // The application's directory, the system directories and PATH: where the loader looks.
  wchar_t found[MAX_PATH];
  return SearchPathW(nullptr, win32::Widen(name).c_str(), nullptr, MAX_PATH, found, nullptr) > 0;
}

}  // namespace

void* LoadLibraryReporting(const std::string& name, std::string* error) {
  void* library = OpenLibrary(name);
  if (library || !error) return library;
  const DWORD code = GetLastError();
  if (code == ERROR_MOD_NOT_FOUND && !LibraryFileFound(name)) {
    *error = name + " could not be found (error 126)";
  } else if (code == ERROR_MOD_NOT_FOUND) {
    *error = name + " was found, but a library it depends on is missing (error 126)";
  } else if (code == ERROR_BAD_EXE_FORMAT) {
    *error = name + " is not a 64-bit Windows library (error 193)";
  } else {
    *error = "cannot load " + name + ": " + win32::ErrorText(code);
  }
  return nullptr;
}

}  // namespace qx::platform
