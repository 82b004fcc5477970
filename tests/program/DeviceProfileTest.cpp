#include "environment/DeviceProfile.h"

#include <gtest/gtest.h>

#include "platform/host/Image.h"
#include "tests/program/ProgramTest.h"

namespace {

host::ImageOptions Terminal(const char* model, const char* language) {
  host::ImageOptions options;
  options.model = model;
  options.language = language;
  return options;
}

std::u16string CabName() {
  const WCHAR* name = ServicePackCabName();
  return name == nullptr ? u"(none)" : name;
}

TEST(DeviceProfile, ChoosesTheRowOfPlatformNameAndLanguage) {
  struct Case {
    const char* model;
    const char* language;
    int languageIndex;
    int row;
    std::u16string cab;
  };
  const Case cases[] = {
      {"LM310", "en", LANG_ENGLISH, 0, u"ServicePackHQ20.CAB"},
      {"LM310", "ja", LANG_JAPANESE, 1, u"ServicePackHQ40.CAB"},
      {"LM320", "en", LANG_ENGLISH, 2, u"ServicePackHQ60.CAB"},
      {"LM320", "ja", LANG_JAPANESE, 3, u"ServicePackHQ80.CAB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.model) + " " + c.language);
    ResetProgramGlobals();
    TestImage image(Terminal(c.model, c.language));

    EXPECT_EQ(1, DetectDeviceProfile());
    EXPECT_EQ(c.languageIndex, g_languageIndex);
    EXPECT_EQ(c.row, g_modelIndex);
    EXPECT_EQ(c.cab, CabName());
  }
}

TEST(DeviceProfile, PlatformNameMustMatchExactly) {
  for (const char* name : {"korva lm310 ce4.10", "KORVA LM310 CE4.10 ", "KORVA LM330 CE4.10"}) {
    SCOPED_TRACE(name);
    ResetProgramGlobals();
    host::ImageOptions options = Terminal("LM310", "ja");
    options.platformName = name;
    TestImage image(options);

    EXPECT_EQ(1, DetectDeviceProfile());
    EXPECT_EQ(LANG_JAPANESE, g_languageIndex);
    EXPECT_EQ(MODEL_NONE, g_modelIndex);
    EXPECT_EQ(u"(none)", CabName());
  }
}

TEST(DeviceProfile, UnreadablePlatformNameFailsWithTheLanguageSet) {
  ResetProgramGlobals();
  host::ImageOptions options = Terminal("LM310", "ja");
  options.noPlatform = true;
  TestImage image(options);

  EXPECT_EQ(0, DetectDeviceProfile());
  EXPECT_EQ(LANG_JAPANESE, g_languageIndex);
  EXPECT_EQ(MODEL_NONE, g_modelIndex);

  // A name too long for its 256-unit buffer cannot be read either.
  SetString(u"Platform", u"Name", u"KORVA LM310 CE4.10" + std::u16string(256, u' '));
  EXPECT_EQ(0, DetectDeviceProfile());
  EXPECT_EQ(MODEL_NONE, g_modelIndex);
}

}  // namespace
