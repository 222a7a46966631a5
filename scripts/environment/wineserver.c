/* Wine's server for a Debian root whose Wine runs through QEMU: installed
 * in the root as /usr/lib/wine/wineserver, the program Wine starts when a
 * prefix has no server yet. Debian's own is a shell script, which cannot
 * run there (no shell of the host's architecture), and the arm64 server
 * must be started through QEMU, since no binfmt_misc handler is registered
 * anywhere. Does what Debian's script does: runs wineserver64, which keeps
 * no server once the last program has ended (-p0), through EMULATOR when
 * it is built with one. Built static, so that it needs nothing of the
 * root's. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char **argv) {
  char **const command = calloc((size_t)argc + 3, sizeof *command);
  int count = 0;
  if (command == NULL) return 127;
#ifdef EMULATOR
  command[count++] = EMULATOR;
#endif
  command[count++] = "/usr/lib/wine/wineserver64";
  command[count++] = "-p0";
  for (int i = 1; i < argc; ++i) command[count++] = argv[i];
  execv(command[0], command);
  perror(command[0]);
  return 127;
}
