/* A small host in C: open a file, show a page, find a pattern, patch a copy. */
#include <stdio.h>
#include <quillmar_hexview.h>

int main(int argc, char **argv) {
    if (argc < 3 || hx_open_rw(argv[1]) != 0) {
        fprintf(stderr, "usage: host FILE COPY (%s)\n", hx_last_error());
        return 1;
    }
    printf("%lld bytes\n%s\n", (long long)hx_file_size(), hx_page(0, 4, NULL));
    if (hx_search("ascii", "MZ", 0) == 0)
        printf("%d hits, first at %lld\n", hx_search_count(), (long long)hx_search_next());
    if (hx_write("de ad be ef", 0) != 0 || hx_save(argv[2]) != 0)
        fprintf(stderr, "%s\n", hx_last_error());
    hx_close();
    return 0;
}
