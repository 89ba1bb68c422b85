// The smallest GUI program this toolchain builds: the yardstick for the
// tool's size and, linked with the tool's system DLLs (floor-gui), for its
// start-up time.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) { return 0; }
