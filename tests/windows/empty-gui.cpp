// The smallest GUI program this toolchain builds: the yardstick for the
// tool's size and start-up time.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) { return 0; }
