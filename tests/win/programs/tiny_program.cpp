// A program that does nothing: with or without a version resource, it stands in for the
// browser whose version the uninstall entry shows.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return 0; }
