/* Stands in for a paint program: writes the arguments it was started with,
 * one a line, to the file named by CORVANE_RECORD_ARGS, then lingers so that
 * a caller waiting for it would be seen waiting. */
#include <stdio.h>
#include <stdlib.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

int main(int argc, char** argv) {
    const char* out = getenv("CORVANE_RECORD_ARGS");
    if (!out) return 1;
    /* Written aside and renamed, so a reader never sees half a list. */
    char part[4096];
    snprintf(part, sizeof part, "%s.part", out);
    FILE* f = fopen(part, "w");
    if (!f) return 1;
    for (int i = 0; i < argc; ++i) fprintf(f, "%s\n", argv[i]);
    fclose(f);
    rename(part, out);
#ifdef _WIN32
    Sleep(3000);
#else
    sleep(3);
#endif
    return 0;
}
