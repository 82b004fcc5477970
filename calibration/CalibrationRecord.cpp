#include "calibration/CalibrationRecord.h"

namespace {

const WCHAR TOUCH_KEY[] = TEXT("HARDWARE\\DEVICEMAP\\TOUCH");
const WCHAR CALIBRATION_DATA_VALUE[] = TEXT("CalibrationData");

// The calibration string read from the registry, terminator included.
const size_t CALIBRATION_DATA_CHARS = 128;
// Room for the longest record (137 characters) and its terminator.
const size_t CALIBRATION_RECORD_CHARS = 256;

// The record always lives under \FlashDisk, whatever name the flash folder was found
// under.
const WCHAR RECORD_PATH[] = TEXT("\\FlashDisk\\Calibrate.dat");
const WCHAR NEW_COPY_PATH[] = TEXT("\\FlashDisk\\CalibrateB.dat");
const WCHAR PREVIOUS_COPY_PATH[] = TEXT("\\FlashDisk\\CalibrateC.dat");

// Reads CalibrationData of the open touch key into data (CALIBRATION_DATA_CHARS units).
// A value larger than data fails; one without a terminator is cut inside data.
int ReadCalibrationData(HKEY touchKey, WCHAR* data)
{
    const DWORD capacity = (DWORD)(CALIBRATION_DATA_CHARS * sizeof(WCHAR));
    DWORD type = REG_NONE;
    DWORD size = capacity;

    if (RegQueryValueExW(touchKey, CALIBRATION_DATA_VALUE, NULL, &type, NULL, &size) != ERROR_SUCCESS ||
        size > capacity) {
        return 0;
    }
    memset(data, 0, capacity);
    if (RegQueryValueExW(touchKey, CALIBRATION_DATA_VALUE, NULL, &type, (BYTE*)data, &size) != ERROR_SUCCESS) {
        return 0;
    }
    data[CALIBRATION_DATA_CHARS - 1] = 0;
    return 1;
}

// Formats the record of data into record (CALIBRATION_RECORD_CHARS units). Returns its
// number of characters, or 0 when data is empty.
int FormatCalibrationRecord(WCHAR* record, const WCHAR* data)
{
    int digitSum = DigitSum(data);
    int dataBytes = (int)(wcslen(data) * sizeof(WCHAR));

    if (digitSum < 0) {
        return 0;
    }
    memset(record, 0, CALIBRATION_RECORD_CHARS * sizeof(WCHAR));
    // The last unit stays 0: _snwprintf writes no terminator when the text fills its count.
    _snwprintf(record, CALIBRATION_RECORD_CHARS - 1, TEXT("%d:%s:%d:"), dataBytes, data, digitSum);
    return (int)wcslen(record);
}

// Writes record in full to the new copy, truncating a leftover of an earlier save.
// Returns 1 on success; on a failed or short write the new copy is deleted.
int WriteNewCopy(LPCVOID record, DWORD byteCount)
{
    HANDLE file = CreateFileW(NEW_COPY_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD written = 0;
    int complete = 0;

    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    if (WriteFile(file, record, byteCount, &written, NULL) && written == byteCount) {
        complete = 1;
    }
    CloseHandle(file);
    if (!complete) {
        DeleteFileW(NEW_COPY_PATH);
    }
    return complete;
}

}  // namespace

int SaveTouchCalibration(void)
{
    HKEY touchKey = NULL;
    WCHAR data[CALIBRATION_DATA_CHARS];
    WCHAR record[CALIBRATION_RECORD_CHARS];
    int recordChars = 0;
    int saved = 0;

    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TOUCH_KEY, 0, KEY_ALL_ACCESS, &touchKey) != ERROR_SUCCESS) {
        return 0;
    }
    if (ReadCalibrationData(touchKey, data)) {
        recordChars = FormatCalibrationRecord(record, data);
        if (recordChars > 0 && WriteCalibrationFile(record, (DWORD)(recordChars * sizeof(WCHAR)))) {
            saved = 1;
        }
    }
    RegCloseKey(touchKey);
    return saved;
}

int DigitSum(const WCHAR* text)
{
    WCHAR digit[2] = {0, 0};
    int sum = 0;

    if (text == NULL || text[0] == 0) {
        return -1;
    }
    for (const WCHAR* c = text; *c != 0; ++c) {
        if (*c >= '0' && *c <= '9') {
            digit[0] = *c;
            sum += (int)_wtol(digit);
        }
    }
    return sum;
}

int WriteCalibrationFile(LPCVOID record, DWORD byteCount)
{
    if (record == NULL || byteCount < MIN_CALIBRATION_RECORD_BYTES) {
        return 0;
    }
    if (!WriteNewCopy(record, byteCount)) {
        return 0;
    }
    // Fails when no record is stored yet: there is nothing to keep then.
    CopyFileW(RECORD_PATH, PREVIOUS_COPY_PATH, FALSE);
    if (!CopyFileW(NEW_COPY_PATH, RECORD_PATH, FALSE)) {
        // The record may now be damaged; the previous copy is the only good one.
        DeleteFileW(NEW_COPY_PATH);
        return 0;
    }
    DeleteFileW(NEW_COPY_PATH);
    DeleteFileW(PREVIOUS_COPY_PATH);
    return 1;
}
