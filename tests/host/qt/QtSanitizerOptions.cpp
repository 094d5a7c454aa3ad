// The sanitizers' defaults for the Qt tests. Qt is not built with them:
// - ThreadSanitizer leaves out what Qt's own libraries do with memory: Qt's
//   event queue and its painting thread pool hand data between threads
//   through locks the sanitizer cannot see. Our hand-offs to the UI thread go
//   through the Qt main executor's own lock, which it does see.
// - LeakSanitizer leaves out fontconfig's cache, which Qt's font database
//   keeps for the life of the process and never frees.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_options() { return "ignore_noninstrumented_modules=1"; }
#endif
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
#endif
