/* The sample package's monitor program: prints its version and exits. Its
   first run after an install ("/firstrun") prints nothing, since it shares
   the installer's standard output, and ends with 0. */
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
    if (argc > 1 && strcmp(argv[1], "/firstrun") == 0) return 0;
    puts("Qel Wireless Monitor 2.1");
    return 0;
}
