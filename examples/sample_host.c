/* A tiny host: writes a small sample file, opens it, prints a page and the size. */
#include <stdio.h>
#include <string.h>

#include "quillmar_hexview.h"

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "hexview-sample.bin";
    FILE *f = fopen(path, "wb");
    if (!f) {
        perror(path);
        return 2;
    }
    const char *text = "quillmar-hexview sample: \"hello\", bytes 00..ff follow\n";
    fwrite(text, 1, strlen(text), f);
    for (int b = 0; b < 256; b++) fputc(b, f);
    fclose(f);

    if (hx_open(path) != 0) {
        fprintf(stderr, "open failed: %s\n", hx_last_error());
        return 2;
    }
    printf("size: %lld bytes\n", (long long)hx_file_size());
    printf("page: %s\n", hx_page(0, 4, NULL));
    printf("raw:  %s\n", hx_page(0, 2, "raw"));
    printf("text: %s\n", hx_ascii_only(0, 4));
    hx_close();
    return 0;
}
