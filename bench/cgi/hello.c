/* The smallest standard gateway program: a plain-text "hello" on standard
   output.  bench/cgi_compare.sh builds it with cc -O2 as hello.exe. */
#include <stdio.h>

int main(void) {
    fputs("Content-type: text/plain\r\n\r\nhello\n", stdout);
    return 0;
}
