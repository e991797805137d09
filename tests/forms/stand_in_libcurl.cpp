// A library that answers to libcurl's name and has none of its functions: what the messenger
// finds when the libcurl installed is not one it can use.
extern "C" int sorvane_not_libcurl() {
    return 0;
}
