// Qt itself is not built with ThreadSanitizer, so its inner locking (the posted-event queue that
// carries the capture thread's requests to the window thread) is invisible to it, and the copies
// Qt makes under those locks look like races. Accesses made from inside Qt's libraries are left
// out; everything of ours is still checked.

extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libQt6Core.so.6\n"
           "called_from_lib:libQt6Gui.so.6\n"
           "called_from_lib:libQt6Widgets.so.6\n"
           "called_from_lib:libQt6Test.so.6\n";
}
