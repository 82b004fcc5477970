// The touch-panel calibration record on the flash disk, and its write through a work
// file that never loses the previous record.
#ifndef KORVA_CALIBRATION_CALIBRATIONRECORD_H
#define KORVA_CALIBRATION_CALIBRATIONRECORD_H

#include "platform/coredll.h"

// The record's file name, in the flash-disk folder.
const WCHAR CALIBRATION_FILE_NAME[] = TEXT("Calibrate.dat");
// A shorter record is never written.
const DWORD MIN_CALIBRATION_RECORD_BYTES = 40;

// Reads HARDWARE\DEVICEMAP\TOUCH\CalibrationData and stores it as the UTF-16LE record
// "<bytes>:<string>:<digit sum>:" in \FlashDisk\Calibrate.dat (WriteCalibrationFile).
// Returns 1 when the record was stored; 0 when the value is missing, larger than 127
// characters and a terminator, or empty, or when the write fails.
int SaveTouchCalibration(void);

// Returns the sum of the digit values of the characters '0' to '9' in text (0 when it
// has none), or -1 when text is NULL or empty.
int DigitSum(const WCHAR* text);

// Writes byteCount bytes of record to \FlashDisk\CalibrateB.dat, copies the stored
// \FlashDisk\Calibrate.dat aside to CalibrateC.dat, copies the new file over it and
// deletes both work files. Returns 1 when the new record is in place. Returns 0 without
// touching any file when record is NULL or byteCount is below
// MIN_CALIBRATION_RECORD_BYTES; 0 when the new file cannot be written in full (it is
// deleted); 0 when it cannot be copied over the record (the new file is deleted and
// CalibrateC.dat keeps the previous record).
int WriteCalibrationFile(LPCVOID record, DWORD byteCount);

#endif  // KORVA_CALIBRATION_CALIBRATIONRECORD_H
