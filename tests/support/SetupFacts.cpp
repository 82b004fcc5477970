#include "tests/support/SetupFacts.h"

#include "platform/host/Text.h"

namespace setupfacts {

std::string Text(TextPair pair, const std::string& language) {
  return host::ToUtf8(g_texts[pair][language == "ja" ? LANG_JAPANESE : LANG_ENGLISH]);
}

}  // namespace setupfacts
