// Desktop Windows has no touch-panel calibration routine (on CE it lives in GWES), yet
// Setup calls it; this stand-in lets the Win32 build link. A desktop has no panel to
// calibrate, so it reports success as a calibrated panel would.
#include "platform/coredll.h"

extern "C" BOOL WINAPI TouchCalibrate(void)
{
    return TRUE;
}
