// Every text that Setup shows or searches for, in English and in Japanese.
#ifndef KORVA_TEXTS_TEXTS_H
#define KORVA_TEXTS_TEXTS_H

#include "platform/coredll.h"
#include "texts/Languages.h"

// The text pairs, in the order of g_texts.
enum TextPair {
    TextDateTimeTitle,     // caption of the platform's date/time dialog
    TextOwnerTitle,        // caption of the platform's owner-information dialog
    TextInstallDone,       // the completion notice
    TextInstallError,      // every failure of a run
    TextTooManyCabs,       // the limit, reached before anything was installed
    TextTooManyCabsReset,  // the limit, reached after something was installed
    TEXT_PAIR_COUNT
};

// Indexed by a TextPair and then by a language index (g_languageIndex of a run).
extern const WCHAR* const g_texts[TEXT_PAIR_COUNT][LANGUAGE_COUNT];

// The caption of every message box, and the name of the single-instance mutex.
const WCHAR SETUP_NAME[] = TEXT("Setup");

#endif  // KORVA_TEXTS_TEXTS_H
