// The terminal's user-interface language and model, learned once at the start of a run.
#ifndef KORVA_ENVIRONMENT_DEVICEPROFILE_H
#define KORVA_ENVIRONMENT_DEVICEPROFILE_H

#include "platform/coredll.h"
#include "texts/Languages.h"

// One row of the model table. Only the terminator row has no platform name and no
// service-pack CAB name.
struct ModelProfile {
    const WCHAR* platformName;  // the exact name under Platform\Name
    int language;               // LANG_ENGLISH or LANG_JAPANESE
    const WCHAR* baseCabName;   // bare file name of the model's service-pack CAB
};

// Index of the terminator row, and the model index when no row matches.
const int MODEL_NONE = 4;

extern const ModelProfile g_modelTable[MODEL_NONE + 1];

// LANG_ENGLISH until DetectDeviceProfile has run.
extern int g_languageIndex;
// The matched row of g_modelTable, or MODEL_NONE.
extern int g_modelIndex;

// Sets g_languageIndex from the system locale's language name, then reads Platform\Name
// and sets g_modelIndex to the row with that exact name and language (left unchanged
// when no row matches). Returns 1 when the platform name was read, whether or not a
// row matched; 0 when it could not be read (g_languageIndex is set all the same).
int DetectDeviceProfile(void);

// The bare file name of the detected model's service-pack CAB, or NULL when no model
// row matched.
const WCHAR* ServicePackCabName(void);

#endif  // KORVA_ENVIRONMENT_DEVICEPROFILE_H
