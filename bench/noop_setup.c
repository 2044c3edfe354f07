// The benchmark's setup program: exits at once with 0. The benchmark pads it to the size of a real
// setup program with appended data, which Windows does not map or run.
#include <windows.h>

void NoopSetupEntry(void) { ExitProcess(0); }
