/* The library as a C program sees it: the header compiles as C and every
 * routine can be called.  Takes a scratch folder as its argument. */
#include "quorimg.h"

#include <stdio.h>
#include <string.h>

static int failures = 0;

#define CHECK(cond)                                                    \
    do {                                                               \
        if (!(cond)) {                                                 \
            fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                \
        }                                                              \
    } while (0)

static void put32(unsigned char *p, uint32_t v) {
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
    p[2] = (unsigned char)(v >> 16);
    p[3] = (unsigned char)(v >> 24);
}

static int32_t get32(const unsigned char *p) {
    return (int32_t)((uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24);
}

/* A 4x4 24-bit BMP of a diagonal ramp. */
static int write_picture(const char *path) {
    unsigned char file[54 + 48];
    int i;
    FILE *f;
    memset(file, 0, sizeof file);
    file[0] = 'B';
    file[1] = 'M';
    put32(file + 2, sizeof file);
    put32(file + 10, 54);
    put32(file + 14, 40);
    put32(file + 18, 4);
    put32(file + 22, 4);
    file[26] = 1;
    file[28] = 24;
    for (i = 0; i < 48; ++i) file[54 + i] = (unsigned char)(i * 5);
    f = fopen(path, "wb");
    if (!f) return 0;
    fwrite(file, 1, sizeof file, f);
    return fclose(f) == 0;
}

static int32_t last_done = -1, last_total = 0;
static void on_progress(int32_t done, int32_t total) {
    last_done = done;
    last_total = total;
}

int main(int argc, char **argv) {
    char src[1024], dst[1024];
    QuorContext ctx;
    QuorProgress progress = on_progress;
    int32_t n;
    const char *folder = argc > 1 ? argv[1] : ".";

    snprintf(src, sizeof src, "%s/c_test_src.bmp", folder);
    snprintf(dst, sizeof dst, "%s/c_test_dst.bmp", folder);
    if (!write_picture(src)) {
        fprintf(stderr, "cannot write %s\n", src);
        return 1;
    }
    memset(&ctx, 0, sizeof ctx);
    memcpy(ctx.bytes + QUOR_CONTEXT_PROGRESS, &progress, sizeof progress);
    CHECK(sizeof(QuorContext) == 1024);

    n = _Pic_Count();
    CHECK(n > 0);
    CHECK(_Pic_Description(0) != NULL && _Pic_Extension(0) != NULL && _Pic_Pattern(0) != NULL);
    CHECK(strlen(_Pic_Pattern(0)) > 0);

    CHECK(_Pic_Valid(src) != 0);
    CHECK(_Pic_Valid("") == 0);
    CHECK(_checkbmp(src, &ctx) != 0);
    CHECK(get32(ctx.bytes) == 4 && get32(ctx.bytes + 4) == 4 && get32(ctx.bytes + 8) == 24);

    CHECK(_anytobmps(src, dst, &ctx, 0, 0) != 0);
    CHECK(get32(ctx.bytes + 8) == 24);
    CHECK(_anyto256(src, dst, &ctx, 0, 0) != 0);
    CHECK(get32(ctx.bytes + 8) == 8);
    CHECK(_bmpremap(src, dst, &ctx, dst) != 0);
    CHECK(_bmpresize(dst, dst, &ctx, 300, 300) != 0);
    CHECK(get32(ctx.bytes) == 300 && get32(ctx.bytes + 8) == 8);
    CHECK(last_total > 0 && last_done == last_total);
    CHECK(_bmprocess(src, dst, &ctx, 101) != 0);
    CHECK(_bmprocess(src, dst, &ctx, 5) != 0);
    CHECK(_bmprocess(src, dst, &ctx, 7) == 0);
    CHECK(_bmpprocess(src, dst, &ctx, 0, 0, 0, -5, 0) != 0);
    CHECK(quorimg_version() != NULL && strlen(quorimg_version()) > 0);

    remove(src);
    remove(dst);
    if (failures) fprintf(stderr, "%d check(s) failed\n", failures);
    return failures ? 1 : 0;
}
