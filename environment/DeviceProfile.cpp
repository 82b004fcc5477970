#include "environment/DeviceProfile.h"

#include "registry/RegistryValues.h"

namespace {

const DWORD LANGUAGE_NAME_CHARS = 256;
// Less than the buffer holds: a name cut at this length still ends in a zero unit.
const int LANGUAGE_NAME_QUERY_CHARS = 64;
const DWORD PLATFORM_NAME_CHARS = 256;

const WCHAR JAPANESE_LANGUAGE_NAME[] = TEXT("日本語");
const WCHAR PLATFORM_KEY[] = TEXT("Platform");
const WCHAR PLATFORM_NAME_VALUE[] = TEXT("Name");

// Exact, case-sensitive comparison of whole strings, code unit by code unit.
int IsSameText(const WCHAR* a, const WCHAR* b)
{
    return wcscmp(a, b) == 0;
}

// The language index of the system locale; English when the name cannot be read.
int DetectLanguage(void)
{
    WCHAR languageName[LANGUAGE_NAME_CHARS];

    memset(languageName, 0, sizeof(languageName));
    GetLocaleInfoW(LOCALE_SYSTEM_DEFAULT, LOCALE_SLANGUAGE, languageName, LANGUAGE_NAME_QUERY_CHARS);
    return IsSameText(languageName, JAPANESE_LANGUAGE_NAME) ? LANG_JAPANESE : LANG_ENGLISH;
}

}  // namespace

const ModelProfile g_modelTable[MODEL_NONE + 1] = {
    {TEXT("KORVA LM310 CE4.10"), LANG_ENGLISH, TEXT("ServicePackHQ20.CAB")},
    {TEXT("KORVA LM310 CE4.10"), LANG_JAPANESE, TEXT("ServicePackHQ40.CAB")},
    {TEXT("KORVA LM320 CE4.10"), LANG_ENGLISH, TEXT("ServicePackHQ60.CAB")},
    {TEXT("KORVA LM320 CE4.10"), LANG_JAPANESE, TEXT("ServicePackHQ80.CAB")},
    {NULL, LANG_ENGLISH, NULL},
};

int g_languageIndex = LANG_ENGLISH;
int g_modelIndex = MODEL_NONE;

int DetectDeviceProfile(void)
{
    WCHAR platformName[PLATFORM_NAME_CHARS];

    g_languageIndex = DetectLanguage();

    memset(platformName, 0, sizeof(platformName));
    if (!RegReadString(HKEY_LOCAL_MACHINE, PLATFORM_KEY, PLATFORM_NAME_VALUE, platformName,
                       PLATFORM_NAME_CHARS)) {
        return 0;
    }
    // Every row is examined; the table holds no two rows with the same name and language.
    for (int row = 0; g_modelTable[row].platformName != NULL; ++row) {
        if (g_modelTable[row].language == g_languageIndex &&
            IsSameText(platformName, g_modelTable[row].platformName)) {
            g_modelIndex = row;
        }
    }
    return 1;
}

const WCHAR* ServicePackCabName(void)
{
    if (g_modelIndex < 0 || g_modelIndex >= MODEL_NONE) {
        return NULL;
    }
    return g_modelTable[g_modelIndex].baseCabName;
}
