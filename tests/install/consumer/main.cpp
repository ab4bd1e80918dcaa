// Another project's program: finds the installed library and asks it for its version.
#include <mixlink/mixlink.h>

#include <cstdio>

int main() {
  const int v = wVer();
  std::printf("mixlink %d\n", v);
  return v == 12293 ? 0 : 1;
}
