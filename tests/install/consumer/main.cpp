// SPDX-License-Identifier: MIT
// Another project's program: finds the installed library and asks it for its versions.
#include <mixlink/mixlink.h>

#include <cstdio>
#include <cstring>

int main() {
  const int v = wVer();
  std::printf("mixlink %d %s\n", v, wVersionText());
  // The library's text and the installed header's must be the same release.
  return v == 12293 && std::strcmp(wVersionText(), MIXLINK_VERSION) == 0 ? 0 : 1;
}
