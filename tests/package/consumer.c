/* A program that uses the installed library: opens itself and prints the size. */
#include <stdio.h>

#include <quillmar_hexview.h>

int main(int argc, char **argv) {
    (void)argc;
    if (hx_open(argv[0]) != 0) {
        fprintf(stderr, "%s\n", hx_last_error());
        return 1;
    }
    printf("consumer ok: %lld bytes\n", (long long)hx_file_size());
    hx_close();
    return 0;
}
