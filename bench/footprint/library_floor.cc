// The floor for the helper's resident memory: a program that loads the shared libraries the
// helper links, and nothing else, then waits. The loader maps and relocates each library, which
// makes some of its pages resident; varn_footprint reports this program's VmRSS next to the
// helper's.
#include <unistd.h>

int main() {
  for (;;) ::pause();
}
