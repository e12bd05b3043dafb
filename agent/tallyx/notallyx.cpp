// A "tallyx" library from before the back-end had its factory: it loads,
// but has no "GetTallyxInstance". Used to test the logger's fallbacks.

#if defined(_WIN32)
extern "C" __declspec(dllexport) int TallyxVersion() { return 1; }
#else
extern "C" __attribute__((visibility("default"))) int TallyxVersion() { return 1; }
#endif
