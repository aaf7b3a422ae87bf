/* A library file with a version routine, for the about box to find. */
#if defined(_WIN32)
__declspec(dllexport)
#else
__attribute__((visibility("default")))
#endif
    const char* quorpng_version(void) {
    return "2.5.0.7";
}
