// Desktop Windows has no touch-panel calibration routine (on CE it lives in GWES), yet
// Setup calls it; this stand-in lets the Win32 build link. A desktop has no panel, so
// none was calibrated: the answer is FALSE, and a desktop run writes no calibration
// record.
#include "platform/coredll.h"

extern "C" BOOL WINAPI TouchCalibrate(void)
{
    return FALSE;
}
