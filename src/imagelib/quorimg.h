/* quorimg: Corvane's image library.
 *
 * Every routine takes full paths as C strings.  Non-zero means success.  A
 * routine that fails returns 0 and leaves its destination exactly as it was
 * (results are written to a temporary file beside the destination and
 * renamed over it).  Source and destination may name the same file; a
 * result that is byte for byte what the destination already holds is not
 * written again.
 *
 * Why the last routine a thread called failed is that thread's to read,
 * until it calls another: quorimg_last_error() gives a QUOR_ERROR_ code,
 * quorimg_last_error_text() a text for a person and quorimg_last_errno() the
 * system's error number of a file that could not be read or written.  Each
 * thread sees its own; a success leaves QUOR_OK, "" and 0.
 *
 * Resampling and filtering work in linear light, so a picture keeps its
 * brightness at every size; small results (256 pixels or fewer) keep each
 * channel's mean, and fully transparent pixels of a resampled result take
 * the colour of the visible ones around them rather than black.  A palette
 * picture resampled keeps its palette, dithered, as does a picture remapped
 * onto one.
 *
 * Full-colour results are written as 24-bit BMPs, or as 32-bit ones (a
 * 108-byte header with bit-field masks, alpha in the top byte) when any
 * pixel is not fully opaque.
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
#if defined(QUORIMG_BUILD)
#define QUORIMG_API __declspec(dllexport)
#else
#define QUORIMG_API __declspec(dllimport)
#endif
#else
#define QUORIMG_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    unsigned char bytes[1024];
} QuorContext; /* width @0, height @4, bpp @8, picture's longer side @12 (int32), progress routine @892 */
typedef void (*QuorProgress)(int32_t done, int32_t total);

#define QUOR_CONTEXT_WIDTH 0
#define QUOR_CONTEXT_HEIGHT 4
#define QUOR_CONTEXT_BPP 8
#define QUOR_CONTEXT_LONGER 12
#define QUOR_CONTEXT_PROGRESS 892

/* The longest side, in pixels, of a picture the library brings in. */
#define QUOR_MAX_EDGE 8192

/* Formats are numbered 0.._Pic_Count(); entry 0 is "all pictures". */
QUORIMG_API int32_t _Pic_Count(void);
QUORIMG_API const char* _Pic_Description(int32_t n);
QUORIMG_API const char* _Pic_Extension(int32_t n);
QUORIMG_API const char* _Pic_Pattern(int32_t n);

/* Any readable picture to a BMP: palette sources stay 8-bit (palette at 54,
 * pixels at 1078), everything else becomes 24-bit, or 32-bit when it has
 * real alpha.  pcdSize and jpegScale are accepted for compatibility; 0 means
 * full size. */
QUORIMG_API int32_t _anytobmps(const char* src, const char* dst, QuorContext* ctx, int32_t pcdSize, int32_t jpegScale);
/* The same, always 8-bit, quantized to 256 colours with dithering. */
QUORIMG_API int32_t _anyto256(const char* src, const char* dst, QuorContext* ctx, int32_t pcdSize, int32_t jpegScale);
/* Non-zero when the file can be decoded. */
QUORIMG_API int32_t _Pic_Valid(const char* file);
/* Width, height and bits per pixel of any readable file into ctx. */
QUORIMG_API int32_t _checkbmp(const char* file, QuorContext* ctx);
/* Resample to width x height in linear light; 8-bit sources keep their palette. */
QUORIMG_API int32_t _bmpresize(const char* src, const char* dst, QuorContext* ctx, int32_t width, int32_t height);
/* Remap onto the 256 colours of paletteFile (a BMP, possibly headers and palette only). */
QUORIMG_API int32_t _bmpremap(const char* src, const char* dst, QuorContext* ctx, const char* paletteFile);

/* _bmpresizergb flags. */
#define QUOR_KEEP_COVERAGE 1
#define QUOR_GRID_565 2
#define QUOR_GRID_4444 4
/* Resample to width x height in full colour: a palette source's colours,
 * with its transparency levels as alpha unless they are all 0, are resampled
 * and not put back on the palette.  The result is 24-bit, or 32-bit when any
 * pixel is not opaque.  With QUOR_KEEP_COVERAGE the result's alpha is scaled
 * so that the share of pixels at least half opaque is, as nearly as it can
 * be, the source's: cut-outs such as fences keep their coverage in small
 * levels.  With QUOR_GRID_565 or QUOR_GRID_4444 (not both) every value is
 * one a 16-bit set of that form can hold, rounded once from the resampled
 * light so that the result keeps each channel's mean and greys stay grey
 * (what saving the result in that form keeps exactly); a result of the
 * source's own size is only put on the grid.  Other flag bits are refused. */
QUORIMG_API int32_t _bmpresizergb(const char* src, const char* dst, QuorContext* ctx, int32_t width, int32_t height,
                                  int32_t flags);
/* A smaller level of a chain (src, full colour) onto the palette of
 * paletteFile, the chain's largest level (an 8-bit picture with pixels),
 * written with all 256 entries and their fourth bytes unchanged.  Only the
 * entries paletteFile's pixels use are chosen.  Where the part of
 * paletteFile under pixels is one entry, those pixels all take one entry,
 * the used one nearest their colour, so a flat area stays one colour;
 * elsewhere pixels are dithered among the entries under and near them,
 * except beside such flat parts.  When the used entries carry transparency levels, a pixel less than
 * half opaque takes an entry of level below 128, any other one of 128 and
 * above.  A 1x1 result takes the entry nearest to its colour in linear
 * light. */
QUORIMG_API int32_t _bmpremapused(const char* src, const char* dst, QuorContext* ctx, const char* paletteFile);
/* A picture's whole chain in memory, for a caller that wants the levels
 * and not the files: the picture at src brought in as _anytobmps brings it
 * in, resampled to edge x edge as _bmpresize would resample it (when it is
 * not that size already), and every smaller level down to 1x1 as
 * _bmpresizergb with `flags` makes it from that picture written as a file.
 * rgba gets the levels one after another, largest first, 4 bytes a texel,
 * top row first (capacity at least 4 * (edge * edge + ... + 1)).  edge is a
 * power of two.  The context describes the picture as _anytobmps would
 * have written it, size and bits; only a picture that stays 24-bit at
 * every step (opaque full colour) is taken: any other is refused with
 * QUOR_ERROR_FORMAT and the caller goes through the files.  With
 * QUOR_CHAIN_FIT among the flags, edge is the most the largest level may
 * be: it is the least power of two from 16 up that holds the picture's
 * longer side, or edge when that is less, and the context's width and
 * height give it (one reading of the file both sizes the chain and makes
 * it); QUOR_CONTEXT_LONGER then gives the picture's own longer side. */
#define QUOR_CHAIN_FIT 8
QUORIMG_API int32_t _picchainrgb(const char* src, QuorContext* ctx, int32_t edge, int32_t flags, uint8_t* rgba,
                                 int32_t capacity);
/* Decodes any readable picture into rgba: 4 bytes a pixel (red, green, blue,
 * alpha), top row first.  Width, height and bits per pixel as stored go into
 * ctx, also when the picture needs more than capacity bytes; then nothing is
 * copied and the result is 0 (capacity 0 asks for the size alone). */
QUORIMG_API int32_t _bmpreadrgba(const char* file, QuorContext* ctx, uint8_t* rgba, int32_t capacity);
/* The same for a BMP already in memory (size bytes at data), read by the
 * library's own BMP codec; 0 for anything it does not read. */
QUORIMG_API int32_t _bmpdecodergba(const uint8_t* data, int32_t size, QuorContext* ctx, uint8_t* rgba,
                                   int32_t capacity);
/* _bmprocess filters; other numbers copy the picture and return 0. */
#define QUOR_FILTER_SOFTEN 101
#define QUOR_FILTER_SHARPEN 5
QUORIMG_API int32_t _bmprocess(const char* src, const char* dst, QuorContext* ctx, int32_t filter);
/* Colour adjustments a..e, see above. */
QUORIMG_API int32_t _bmpprocess(const char* src, const char* dst, QuorContext* ctx, int32_t a, int32_t b, int32_t c,
                                int32_t d, int32_t e);
/* Block-compressed textures: 4x4 texel blocks, row of blocks after row of
 * blocks, 8 bytes a block for BC1 (DXT1), 16 for BC2 (DXT3), BC3 (DXT5) and
 * BC7. */
#define QUOR_BC1 1
#define QUOR_BC2 2
#define QUOR_BC3 3
#define QUOR_BC7 7
/* Bytes the blocks of a width x height picture take; 0 for a bad format or size. */
QUORIMG_API int32_t _bcsize(int32_t width, int32_t height, int32_t format);
/* Compresses rgba (4 bytes a texel, top row first) to BC1, BC3 or BC7
 * blocks in `blocks` (capacity at least _bcsize).  BC1 keeps colour only;
 * BC3 and BC7 keep alpha, and fully transparent texels are given their
 * visible neighbours' colour first so that filtering brings in no fringe.
 * Edges that are not a multiple of 4 (a 2x2 or 1x1 level) fill their block
 * by repeating texels.  BC2 is decoded only.  Alpha is cut at
 * QUOR_COVERAGE_CUT. */
QUORIMG_API int32_t _bcencode(const uint8_t* rgba, int32_t width, int32_t height, int32_t format, uint8_t* blocks,
                              int32_t capacity);
/* _bcencodewith: how the blocks keep alpha.  alphaCut (1..255) is the alpha
 * below which a texel is on the transparent side of a cut-out: BC3 and BC7
 * keep every texel on its side wherever the format can, and BC1 with
 * QUOR_BC1_ALPHA writes the texels below it transparent (BC1's one-bit
 * alpha) and the rest opaque.  Other flag bits are refused. */
#define QUOR_BC1_ALPHA 1
typedef struct {
    int32_t alphaCut;
    int32_t flags;
} QuorBlockOptions;
/* The alpha QUOR_KEEP_COVERAGE counts a texel covered from, and the cut
 * _bcencode keeps. */
#define QUOR_COVERAGE_CUT 128
/* _bcencode with options; null options are _bcencode's. */
QUORIMG_API int32_t _bcencodewith(const uint8_t* rgba, int32_t width, int32_t height, int32_t format,
                                  const QuorBlockOptions* options, uint8_t* blocks, int32_t capacity);
/* Decodes `size` bytes of blocks to rgba (capacity at least width*height*4);
 * 0 when the blocks are fewer than the picture needs. */
QUORIMG_API int32_t _bcdecode(const uint8_t* blocks, int32_t size, int32_t width, int32_t height, int32_t format,
                              uint8_t* rgba, int32_t capacity);
/* The library's version, "major.minor.patch.build". */
QUORIMG_API const char* quorimg_version(void);

/* Why the last routine called on this thread failed (every routine above
 * and quorimg_part_version tell; quorimg_version and these three cannot
 * fail).  The text is valid until the thread's next call into the library. */
#define QUOR_OK 0
/* A null pointer, or a size, format, flag, filter or number the routine
 * does not take. */
#define QUOR_ERROR_ARGUMENT 1
/* A file could not be read: missing, not a regular file, closed to us, or
 * the device failed (quorimg_last_errno tells which, where the system does). */
#define QUOR_ERROR_READ 2
/* The file is not a picture the library reads, or a damaged one. */
#define QUOR_ERROR_FORMAT 3
/* One of the library's limits refused the picture: a side longer than 8192
 * pixels, more pixels than the decoder's memory holds, a decode that took
 * too long, a file too large.  The text is then a clause for the user: "it
 * is 9000 x 100 pixels; pictures of at most 8192 pixels a side can be
 * brought in". */
#define QUOR_ERROR_LIMIT 4
/* The result could not be written (quorimg_last_errno tells why). */
#define QUOR_ERROR_WRITE 5
/* The caller's buffer is smaller than the result; the context says how
 * large the picture is. */
#define QUOR_ERROR_CAPACITY 6
/* Memory ran out. */
#define QUOR_ERROR_MEMORY 7
/* The decoder module for formats other than BMP cannot be loaded. */
#define QUOR_ERROR_DECODER 8
/* Anything else that went wrong inside the library. */
#define QUOR_ERROR_INTERNAL 9
QUORIMG_API int32_t quorimg_last_error(void);
QUORIMG_API const char* quorimg_last_error_text(void);
QUORIMG_API int32_t quorimg_last_errno(void);
/* The versions of the parts the library works through, as text: the decoder
 * module for other formats ("major.minor.patch.build"), ImageMagick as that
 * module reports it ("6.9.11-60") and libimagequant ("2.17.0").  Asking for
 * either of the first two loads the module.  Null for another part, or when
 * the module cannot be loaded. */
#define QUOR_PART_DECODER 1
#define QUOR_PART_MAGICK 2
#define QUOR_PART_QUANTIZER 3
QUORIMG_API const char* quorimg_part_version(int32_t part);

#ifdef __cplusplus
}
#endif

#endif
