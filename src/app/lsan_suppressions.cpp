// Leak-checker defaults for sanitizer builds. The system libraries under
// the display (font configuration, the desktop bus, the X and GL client
// libraries, the GLib main loop Qt may run on) keep caches and connections
// for the life of the process that the leak checker reports at exit; they
// are not ours and not leaks that grow. Of Qt only its desktop bus library
// is named (a tray icon shown through the bus keeps its connection): the
// program never calls it, while our own leaks often end in the rest of Qt.
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
    return "leak:libfontconfig.so\n"
           "leak:libdbus-1.so\n"
           "leak:libQt6DBus.so\n"
           "leak:libglib-2.0.so\n"
           "leak:libgobject-2.0.so\n"
           "leak:libgio-2.0.so\n"
           "leak:libX11.so\n"
           "leak:libxcb.so\n"
           "leak:libxkbcommon.so\n"
           "leak:libEGL.so\n"
           "leak:libGLX.so\n"
           "leak:libGLdispatch.so\n";
}
#endif
