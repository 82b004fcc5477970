// A program of the terminal that stores the touch calibration once, as Setup does after
// a calibration, so that tests can cut the power in the middle of a save over an older
// record. Its exit code is what SaveTouchCalibration returned.
#include "calibration/CalibrationRecord.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPWSTR, int) { return SaveTouchCalibration(); }
