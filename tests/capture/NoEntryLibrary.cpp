// A shared library that loads but offers no capture entry: the loader must report it like a
// missing library.
extern "C" int StemoraTestLibraryMarker() {
    return 42;
}
