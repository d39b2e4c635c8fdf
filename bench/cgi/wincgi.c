/* A Windows CGI program for bench/cgi_compare.sh, started as
       wincgi.exe <profile> <content file> <output file>
   It reads the whole profile, as such a program does to find its request,
   counts the fields of [Form Literal] and writes a plain-text "hello" to the
   output file.  A profile without form fields gets a different body, so the
   benchmark's check before measuring sees a POST that did not arrive. */
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: wincgi.exe profile content-file output-file\n");
        return 2;
    }
    FILE* profile = fopen(argv[1], "r");
    if (!profile) {
        perror(argv[1]);
        return 1;
    }
    char line[4096];
    int inForm = 0, fields = 0, lines = 0;
    while (fgets(line, sizeof line, profile)) {
        lines++;
        if (line[0] == '[') {
            inForm = strncmp(line, "[Form Literal]", 14) == 0;
            continue;
        }
        if (inForm && strchr(line, '=')) fields++;
    }
    fclose(profile);

    FILE* out = fopen(argv[3], "w");
    if (!out) {
        perror(argv[3]);
        return 1;
    }
    fputs("Content-type: text/plain\r\n\r\n", out);
    if (fields > 0)
        fputs("hello\n", out);
    else
        fprintf(out, "hello, but the profile (%d lines) has no [Form Literal] fields\n", lines);
    return fclose(out) == 0 ? 0 : 1;
}
