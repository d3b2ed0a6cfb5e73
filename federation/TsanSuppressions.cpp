// What ThreadSanitizer is not to report in the programs that run the bridge. Cyclone DDS is
// not built with it: it sees neither Cyclone's own atomics nor its deferred frees, and reports
// Cyclone's threads racing where they do not. No code of this project runs on Cyclone's
// threads (the bridge uses no DDS listener), so a race with a Cyclone frame is Cyclone's alone.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libddsc.so.0debian\n";
}
