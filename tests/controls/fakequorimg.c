/* A stand-in for the image library, so the image view's tests do not depend
 * on the real decoders.  It "converts" by copying a BMP source unchanged and
 * appends what happens (loads, unloads, calls) to the file named by
 * FAKEQUORIMG_LOG.  Built without _Pic_Valid it stands for a library that
 * lacks a routine. */
#include "quorimg.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void note(const char* format, ...) {
    const char* path = getenv("FAKEQUORIMG_LOG");
    if (!path) return;
    FILE* log = fopen(path, "a");
    if (!log) return;
    va_list args;
    va_start(args, format);
    vfprintf(log, format, args);
    va_end(args);
    fputc('\n', log);
    fclose(log);
}

__attribute__((constructor)) static void loaded(void) { note("load"); }
__attribute__((destructor)) static void unloaded(void) { note("unload"); }

static int32_t copyBmp(const char* kind, const char* src, const char* dst, QuorContext* ctx, int32_t pcd,
                       int32_t jpeg) {
    note("%s %s -> %s pcd=%d jpeg=%d", kind, src, dst, (int)pcd, (int)jpeg);
    QuorProgress progress;
    memcpy(&progress, ctx->bytes + QUOR_CONTEXT_PROGRESS, sizeof progress);
    if (progress) progress(1, 1);

    FILE* in = fopen(src, "rb");
    if (!in) return 0;
    char magic[2];
    if (fread(magic, 1, 2, in) != 2 || magic[0] != 'B' || magic[1] != 'M') {
        fclose(in);
        return 0;
    }
    FILE* out = fopen(dst, "wb");
    if (!out) {
        fclose(in);
        return 0;
    }
    fwrite(magic, 1, 2, out);
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, in)) > 0) fwrite(buffer, 1, n, out);
    fclose(in);
    fclose(out);
    return 1;
}

QUORIMG_API int32_t _anytobmps(const char* src, const char* dst, QuorContext* ctx, int32_t pcd, int32_t jpeg) {
    return copyBmp("tru", src, dst, ctx, pcd, jpeg);
}

QUORIMG_API int32_t _anyto256(const char* src, const char* dst, QuorContext* ctx, int32_t pcd, int32_t jpeg) {
    return copyBmp("256", src, dst, ctx, pcd, jpeg);
}

#ifndef FAKE_WITHOUT_PIC_VALID
QUORIMG_API int32_t _Pic_Valid(const char* file) {
    note("valid %s", file);
    FILE* f = file[0] ? fopen(file, "rb") : NULL;
    if (!f) return 0;
    fclose(f);
    return 1;
}
#endif
