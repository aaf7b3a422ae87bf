/* The plainest program that does a batch's work for 5-6-5 sets, as a
 * yardstick for `corvane --batch`: for every 24-bit BMP of SRC it builds the
 * chain of 2x2 box averages in linear light down to 1x1, packs every level to
 * 5-6-5 and writes one Extended Bitmap of the same name into DEST (the
 * 86-byte 16-bit header describing the largest level, then every level in
 * turn, largest first, rows bottom first), through a temporary file beside
 * it that is flushed to the disk and renamed over the target.
 *
 *     floor [--no-fsync] SRC DEST
 *
 * It checks only what it must to stay in bounds: a source that is not an
 * uncompressed 24-bit BMP with a square power-of-two edge of at most 512 is
 * skipped with a line on stderr.  No dithering, no lightening, no palette:
 * nothing but the work every conversion of that kind has to do. */

#define _POSIX_C_SOURCE 200809L

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

enum {
    kHeader = 86,   /* file header, 40-byte information header, masks, record */
    kRecordAt = 66, /* tag, length, twelve data bytes */
    kMaxEdge = 512,
    kChainMax = 349525, /* texels of a 512 chain: 512^2 + 256^2 + ... + 1 */
};

static uint16_t toLinear[256];         /* sRGB byte -> linear light, 0..65535 */
static uint8_t top5[256], top6[256];   /* sRGB byte -> code, for the largest level */
static uint8_t lin5[4096], lin6[4096]; /* linear light >> 4 -> code */

static double decode(double c) { return c <= 0.04045 ? c / 12.92 : pow((c + 0.055) / 1.055, 2.4); }
static double encode(double l) { return l <= 0.0031308 ? l * 12.92 : 1.055 * pow(l, 1.0 / 2.4) - 0.055; }

static void makeTables(void) {
    for (int v = 0; v < 256; ++v) {
        toLinear[v] = (uint16_t)lrint(decode(v / 255.0) * 65535.0);
        top5[v] = (uint8_t)lrint(v * 31.0 / 255.0);
        top6[v] = (uint8_t)lrint(v * 63.0 / 255.0);
    }
    for (int i = 0; i < 4096; ++i) {
        const double s = encode((i * 16 + 8) / 65535.0);
        lin5[i] = (uint8_t)lrint(s * 31.0);
        lin6[i] = (uint8_t)lrint(s * 63.0);
    }
}

static void put16(uint8_t* p, uint32_t v) { p[0] = (uint8_t)v, p[1] = (uint8_t)(v >> 8); }
static void put32(uint8_t* p, uint32_t v) { put16(p, v), put16(p + 2, v >> 16); }
static uint32_t get16(const uint8_t* p) { return (uint32_t)p[0] | (uint32_t)p[1] << 8; }
static uint32_t get32(const uint8_t* p) { return get16(p) | get16(p + 2) << 16; }

/* Buffers kept from file to file. */
static uint8_t* source;
static size_t sourceCapacity;
static uint16_t chain[3 * kChainMax]; /* every level, linear RGB */
static uint8_t output[kHeader + 2 * kChainMax];

static int readWhole(const char* path, size_t* length) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size < 54) {
        close(fd);
        return 0;
    }
    const size_t want = (size_t)st.st_size;
    if (want > sourceCapacity) {
        free(source);
        source = malloc(want);
        sourceCapacity = source ? want : 0;
        if (!source) {
            close(fd);
            return 0;
        }
    }
    size_t have = 0;
    while (have < want) {
        const ssize_t n = read(fd, source + have, want - have);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        have += (size_t)n;
    }
    close(fd);
    *length = have;
    return have == want;
}

static void writeHeader(uint8_t* h, uint32_t edge, uint32_t pixelBytes) {
    memset(h, 0, kHeader);
    h[0] = 'B', h[1] = 'M';
    put32(h + 2, kHeader + pixelBytes);
    put32(h + 10, kHeader);
    put32(h + 14, 40);
    put32(h + 18, edge);
    put32(h + 22, edge);
    put16(h + 26, 1);
    put16(h + 28, 16);
    put32(h + 30, 3); /* bit fields */
    put32(h + 34, pixelBytes);
    put32(h + 54, 0xF800), put32(h + 58, 0x07E0), put32(h + 62, 0x001F);
    memcpy(h + kRecordAt, "AVTX", 4);
    put32(h + kRecordAt + 4, 20);
    int exponent = 0;
    while ((1u << exponent) < edge) ++exponent;
    h[kRecordAt + 8 + 6] = (uint8_t)exponent;
}

/* The set of the source in `length` bytes at `source` into `output`; its
 * length, or 0 when the source is not a picture this program takes. */
static size_t makeSet(size_t length) {
    const uint8_t* s = source;
    if (s[0] != 'B' || s[1] != 'M') return 0;
    const uint32_t pixelsAt = get32(s + 10);
    const int32_t width = (int32_t)get32(s + 18);
    const int32_t height = (int32_t)get32(s + 22);
    const uint32_t edge = (uint32_t)width;
    if (get16(s + 28) != 24 || get32(s + 30) != 0 || width < 1 || width > kMaxEdge || (edge & (edge - 1)) != 0 ||
        (height != width && height != -width))
        return 0;
    const size_t stride = (edge * 3 + 3) & ~(size_t)3;
    if (pixelsAt > length || length - pixelsAt < stride * edge) return 0;

    uint8_t* out = output + kHeader;
    uint16_t* lin = chain;
    /* The largest level: codes straight from the bytes, and linear light for
     * the halvings.  Rows are kept bottom first, as the set stores them. */
    for (uint32_t y = 0; y < edge; ++y) {
        const uint8_t* row = s + pixelsAt + stride * (height > 0 ? y : edge - 1 - y);
        for (uint32_t x = 0; x < edge; ++x, row += 3, out += 2, lin += 3) {
            const uint8_t b = row[0], g = row[1], r = row[2];
            put16(out, (uint32_t)top5[r] << 11 | (uint32_t)top6[g] << 5 | top5[b]);
            lin[0] = toLinear[r], lin[1] = toLinear[g], lin[2] = toLinear[b];
        }
    }
    const uint16_t* above = chain;
    for (uint32_t e = edge / 2; e >= 1; e /= 2) {
        const size_t upper = 6 * (size_t)e; /* values in a row of the level above */
        for (uint32_t y = 0; y < e; ++y) {
            const uint16_t* a = above + 2 * y * upper;
            const uint16_t* b = a + upper;
            for (uint32_t x = 0; x < e; ++x, a += 6, b += 6, lin += 3, out += 2) {
                for (int c = 0; c < 3; ++c) lin[c] = (uint16_t)((a[c] + a[c + 3] + b[c] + b[c + 3] + 2) >> 2);
                put16(out, (uint32_t)lin5[lin[0] >> 4] << 11 | (uint32_t)lin6[lin[1] >> 4] << 5 | lin5[lin[2] >> 4]);
            }
        }
        above += 12 * (size_t)e * e;
    }
    const size_t pixelBytes = (size_t)(out - output) - kHeader;
    writeHeader(output, edge, (uint32_t)pixelBytes);
    return kHeader + pixelBytes;
}

/* Writes `length` bytes of `output` to a temporary file in `folder` and
 * renames it to `name`; flushed to the disk first unless `flush` is 0. */
static int writeSet(const char* folder, const char* name, size_t length, int flush) {
    char target[4096], temporary[4096];
    if (snprintf(target, sizeof target, "%s/%s", folder, name) >= (int)sizeof target ||
        snprintf(temporary, sizeof temporary, "%s/.%s.%ld.tmp", folder, name, (long)getpid()) >= (int)sizeof temporary)
        return 0;
    const int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return 0;
    size_t done = 0;
    while (done < length) {
        const ssize_t n = write(fd, output + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += (size_t)n;
    }
    const int ok = done == length && (!flush || fsync(fd) == 0);
    if (close(fd) != 0 || !ok || rename(temporary, target) != 0) {
        unlink(temporary);
        return 0;
    }
    return 1;
}

static int isBitmap(const char* name) {
    const size_t n = strlen(name);
    return n > 4 && name[0] != '.' && strcasecmp(name + n - 4, ".bmp") == 0;
}

static int byName(const void* a, const void* b) { return strcmp(*(char* const*)a, *(char* const*)b); }

int main(int argc, char** argv) {
    int flush = 1, at = 1;
    if (at < argc && strcmp(argv[at], "--no-fsync") == 0) flush = 0, ++at;
    if (argc - at != 2) {
        fprintf(stderr, "usage: %s [--no-fsync] SRC DEST\n", argv[0]);
        return 2;
    }
    const char* from = argv[at];
    const char* to = argv[at + 1];
    DIR* dir = opendir(from);
    if (!dir) {
        fprintf(stderr, "%s: cannot read %s: %s\n", argv[0], from, strerror(errno));
        return 1;
    }
    char** names = NULL;
    size_t count = 0, capacity = 0;
    for (struct dirent* entry; (entry = readdir(dir));) {
        if (!isBitmap(entry->d_name)) continue;
        if (count == capacity) {
            capacity = capacity ? 2 * capacity : 64;
            char** grown = realloc(names, capacity * sizeof *names);
            if (!grown) return 1;
            names = grown;
        }
        if (!(names[count++] = strdup(entry->d_name))) return 1;
    }
    closedir(dir);
    qsort(names, count, sizeof *names, byName);

    makeTables();
    int failed = 0;
    for (size_t i = 0; i < count; ++i) {
        char path[4096];
        size_t length = 0, written = 0;
        if (snprintf(path, sizeof path, "%s/%s", from, names[i]) < (int)sizeof path && readWhole(path, &length))
            written = makeSet(length);
        if (!written || !writeSet(to, names[i], written, flush)) {
            fprintf(stderr, "%s: %s not converted\n", argv[0], names[i]);
            ++failed;
        }
        free(names[i]);
    }
    free(names);
    free(source);
    return failed ? 1 : 0;
}
