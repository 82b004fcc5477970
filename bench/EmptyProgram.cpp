// A program of the terminal that returns at once: what starting any program costs.
#include "platform/coredll.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPWSTR, int) { return 0; }
