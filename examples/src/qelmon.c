/* The sample package's monitor program: prints its version and exits. */
#include <stdio.h>

int main(void) {
    puts("Qel Wireless Monitor 2.1");
    return 0;
}
