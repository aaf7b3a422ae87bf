/* quorimg: Corvane's image library.
 *
 * Every routine takes full paths as C strings.  Non-zero means success.  A
 * routine that fails returns 0 and leaves its destination exactly as it was
 * (results are written to a temporary file beside the destination and
 * renamed over it).  Source and destination may name the same file; a
 * result that is byte for byte what the destination already holds is not
 * written again.
 *
 * Resampling and filtering work in linear light, so a picture keeps its
 * brightness at every size.  A palette picture resampled keeps its palette,
 * dithered, as does a picture remapped onto one.
 *
 * The conversion context is a zero-filled 1024-byte record owned by the
 * caller: width at byte 0, height at 4, bits per pixel at 8 (int32, little
 * endian), describing the file last examined by _checkbmp or written by a
 * conversion; a QuorProgress pointer (or null) at byte 892, called with
 * done/total (total > 0, done rising to total) while large images are worked
 * on.  The pointer is not aligned: copy it in and out with memcpy.
 *
 * _bmpprocess adjustments, each 0 meaning "no change":
 *   a  contrast     -100..100 (negative flattens toward mid grey)
 *   b  saturation   -100..100 (-100 gives grey)
 *   c  gamma        -100..100 (positive brightens mid tones, ends fixed)
 *   d  brightness   -100..100 (negative darkens, monotonic)
 *   e  warmth       -100..100 (positive shifts toward red, negative toward blue)
 * Values outside -100..100 are clamped.  They are applied in the order
 * d, c, a, b, e.
 */
#ifndef QUORIMG_H
#define QUORIMG_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(QUORIMG_BUILD)
#    define QUORIMG_API __declspec(dllexport)
#  else
#    define QUORIMG_API __declspec(dllimport)
#  endif
#else
#  define QUORIMG_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct { unsigned char bytes[1024]; } QuorContext;   /* width @0, height @4, bpp @8 (int32), progress routine @892 */
typedef void (*QuorProgress)(int32_t done, int32_t total);

#define QUOR_CONTEXT_WIDTH    0
#define QUOR_CONTEXT_HEIGHT   4
#define QUOR_CONTEXT_BPP      8
#define QUOR_CONTEXT_PROGRESS 892

/* Formats are numbered 0.._Pic_Count(); entry 0 is "all pictures". */
QUORIMG_API int32_t     _Pic_Count(void);
QUORIMG_API const char *_Pic_Description(int32_t n);
QUORIMG_API const char *_Pic_Extension(int32_t n);
QUORIMG_API const char *_Pic_Pattern(int32_t n);

/* Any readable picture to a BMP: palette sources stay 8-bit (palette at 54,
 * pixels at 1078), everything else becomes 24-bit.  pcdSize and jpegScale
 * are accepted for compatibility; 0 means full size. */
QUORIMG_API int32_t _anytobmps(const char *src, const char *dst, QuorContext *ctx, int32_t pcdSize, int32_t jpegScale);
/* The same, always 8-bit, quantized to 256 colours with dithering. */
QUORIMG_API int32_t _anyto256 (const char *src, const char *dst, QuorContext *ctx, int32_t pcdSize, int32_t jpegScale);
/* Non-zero when the file can be decoded. */
QUORIMG_API int32_t _Pic_Valid(const char *file);
/* Width, height and bits per pixel of any readable file into ctx. */
QUORIMG_API int32_t _checkbmp (const char *file, QuorContext *ctx);
/* Resample to width x height in linear light; 8-bit sources keep their palette. */
QUORIMG_API int32_t _bmpresize(const char *src, const char *dst, QuorContext *ctx, int32_t width, int32_t height);
/* Remap onto the 256 colours of paletteFile (a BMP, possibly headers and palette only). */
QUORIMG_API int32_t _bmpremap (const char *src, const char *dst, QuorContext *ctx, const char *paletteFile);
/* filter 101 softens, filter 5 sharpens; other numbers copy and return 0. */
QUORIMG_API int32_t _bmprocess(const char *src, const char *dst, QuorContext *ctx, int32_t filter);
/* Colour adjustments a..e, see above. */
QUORIMG_API int32_t _bmpprocess(const char *src, const char *dst, QuorContext *ctx, int32_t a, int32_t b, int32_t c, int32_t d, int32_t e);
/* The library's version, "major.minor.patch.build". */
QUORIMG_API const char *quorimg_version(void);

#ifdef __cplusplus
}
#endif

#endif
