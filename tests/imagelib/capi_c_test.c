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

static void put32(unsigned char* p, uint32_t v) {
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
    p[2] = (unsigned char)(v >> 16);
    p[3] = (unsigned char)(v >> 24);
}

static int32_t get32(const unsigned char* p) {
    return (int32_t)((uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24);
}

/* A 4x4 24-bit BMP of a diagonal ramp. */
static int write_picture(const char* path) {
    unsigned char file[54 + 48];
    int i;
    FILE* f;
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

/* A 2x1 PNG: one orange pixel and one dark blue-grey one. */
static const unsigned char tiny_png[] = {
    0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52, 0x00, 0x00,
    0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x08, 0x02, 0x00, 0x00, 0x00, 0x7b, 0x40, 0xe8, 0xdd, 0x00, 0x00, 0x00,
    0x0f, 0x49, 0x44, 0x41, 0x54, 0x78, 0x9c, 0x63, 0x38, 0x91, 0x62, 0xc4, 0x25, 0x22, 0x07, 0x00, 0x07, 0xd7,
    0x01, 0x9b, 0x2e, 0xd5, 0x2b, 0x69, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};

static int write_bytes(const char* path, const unsigned char* bytes, size_t size) {
    FILE* f = fopen(path, "wb");
    if (!f) return 0;
    fwrite(bytes, 1, size, f);
    return fclose(f) == 0;
}

/* Whether the decoder for other formats, and ImageMagick with it, is
 * mapped into this process. */
static int decoder_loaded(void) {
    char line[4096];
    int found = 0;
    FILE* maps = fopen("/proc/self/maps", "r");
    if (!maps) return 0;
    while (!found && fgets(line, sizeof line, maps)) found = strstr(line, "libquorimg_magick.so") != NULL;
    fclose(maps);
    return found;
}

static int32_t last_done = -1, last_total = 0;
static void on_progress(int32_t done, int32_t total) {
    last_done = done;
    last_total = total;
}

int main(int argc, char** argv) {
    char src[1024], dst[1024], other[1024], png[1024];
    uint8_t rgba[4 * 4 * 4];
    QuorContext ctx;
    QuorProgress progress = on_progress;
    int32_t n;
    const char* folder = argc > 1 ? argv[1] : ".";

    snprintf(src, sizeof src, "%s/c_test_src.bmp", folder);
    snprintf(dst, sizeof dst, "%s/c_test_dst.bmp", folder);
    snprintf(other, sizeof other, "%s/c_test_other.bmp", folder);
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
    CHECK(quorimg_last_error() == QUOR_ERROR_ARGUMENT && strlen(quorimg_last_error_text()) > 0 &&
          quorimg_last_errno() == 0);
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
    CHECK(_bmpremapused(src, other, &ctx, dst) != 0);
    CHECK(get32(ctx.bytes) == 4 && get32(ctx.bytes + 8) == 8);
    CHECK(_bmpresizergb(dst, other, &ctx, 2, 2, 0) != 0);
    CHECK(get32(ctx.bytes) == 2 && get32(ctx.bytes + 8) == 24);
    CHECK(_bmpresizergb(src, other, &ctx, 2, 2, QUOR_KEEP_COVERAGE) != 0);
    CHECK(_bmpresizergb(src, other, &ctx, 2, 2, 8) == 0);
    /* The size first, then the pixels: the top-left one is the file's last row. */
    CHECK(_bmpreadrgba(src, &ctx, NULL, 0) == 0);
    CHECK(get32(ctx.bytes) == 4 && get32(ctx.bytes + 4) == 4 && get32(ctx.bytes + 8) == 24);
    CHECK(_bmpreadrgba(src, &ctx, rgba, (int32_t)sizeof rgba) != 0);
    CHECK(rgba[0] == 190 && rgba[1] == 185 && rgba[2] == 180 && rgba[3] == 255);
    CHECK(_bmpdecodergba((const uint8_t*)"BM", 2, &ctx, rgba, (int32_t)sizeof rgba) == 0);
    CHECK(_bmprocess(src, dst, &ctx, 101) != 0);
    CHECK(_bmprocess(src, dst, &ctx, 5) != 0);
    CHECK(_bmprocess(src, dst, &ctx, 7) == 0);
    CHECK(_bmpprocess(src, dst, &ctx, 0, 0, 0, -5, 0) != 0);
    CHECK(quorimg_version() != NULL && strlen(quorimg_version()) > 0);

#ifdef __linux__
    /* BMPs are our codec's alone; a PNG brings the other decoder in. */
    CHECK(!decoder_loaded());
    snprintf(png, sizeof png, "%s/c_test_src.png", folder);
    CHECK(write_bytes(png, tiny_png, sizeof tiny_png));
    CHECK(_Pic_Valid(png) != 0);
    CHECK(decoder_loaded());
    CHECK(_anytobmps(png, dst, &ctx, 0, 0) != 0);
    CHECK(get32(ctx.bytes) == 2 && get32(ctx.bytes + 4) == 1 && get32(ctx.bytes + 8) == 24);
    remove(png);
#endif

    remove(src);
    remove(dst);
    remove(other);
    if (failures) fprintf(stderr, "%d check(s) failed\n", failures);
    return failures ? 1 : 0;
}
