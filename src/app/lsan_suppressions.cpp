// Leak-checker defaults for sanitizer builds. The font configuration
// library keeps a cache for the life of the process that the leak checker
// reports at exit; it is not ours and not a leak that grows.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TW_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define TW_ASAN 1
#endif

#ifdef TW_ASAN
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
#endif
