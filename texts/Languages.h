// The languages of the program's texts, and of the terminals it knows.
#ifndef KORVA_TEXTS_LANGUAGES_H
#define KORVA_TEXTS_LANGUAGES_H

// Language indexes: they select the member of every text pair.
const int LANG_ENGLISH = 0;
const int LANG_JAPANESE = 1;
const int LANGUAGE_COUNT = 2;

#endif  // KORVA_TEXTS_LANGUAGES_H
