// The floor haltctl's cost is measured against: a C++ program that prints
// one line, built and linked as haltctl is. <stdio.h>, as haltctl's driver
// uses, so that both print through the same printf.
#include <stdio.h>

int main() {
  printf("Console Shutdown control utility for WIndows NT/2000/XP/.NET, v.1a\n");
  return 0;
}
