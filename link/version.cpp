// SPDX-License-Identifier: MIT
// The release version the library was built as, for programs that load it as a shared library and
// may run with a build other than the one whose header they were compiled with.
#include <mixlink/version.h>

const char* wVersionText(void) { return MIXLINK_VERSION; }
