// Loading a dynamic library with the loader's own reason for a failure. platform.h's
// OpenLibrary answers only yes or no; an administrator installing a client library needs to
// know whether the file was missing or one of its own dependencies was (a common case with
// database client libraries), so this variant reports the loader's message.
//
// Threading: may be called from any thread. Never throws.
#pragma once

#include <string>

namespace qx::platform {

// Loads the library like OpenLibrary; on failure returns null and sets *error to the
// loader's explanation (never empty).
void* LoadLibraryReporting(const std::string& name, std::string* error);

}  // namespace qx::platform
