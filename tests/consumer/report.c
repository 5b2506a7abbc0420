/* A downstream C program: the report header compiled as C99. With an
 * argument it also collects the evidence into that directory. */
#include <vmdetect.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    const int length = vmdetect_report(NULL, 0, VMDETECT_REPORT_NO_NETWORK);
    char* buffer;
    if (length < 0) {
        return 1;
    }
    buffer = malloc((size_t)length + 1);
    if (buffer == NULL ||
        vmdetect_report(buffer, (size_t)length + 1, VMDETECT_REPORT_NO_NETWORK) != length) {
        free(buffer);
        return 1;
    }
    puts(buffer);
    free(buffer);
    return argc > 1 && vmdetect_collect(argv[1], 0) != 0 ? 1 : 0;
}
