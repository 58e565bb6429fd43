#include "common/errors.h"
#include "common/format.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(FormatHex, EightUpperCaseDigitsOfTheUnsignedValue) {
  const struct {
    std::uint32_t value;
    const char* text;
  } cases[] = {
      {0, "0x00000000"},           {1, "0x00000001"},
      {0xFFFFFFFEu, "0xFFFFFFFE"}, {static_cast<std::uint32_t>(-1), "0xFFFFFFFF"},
      {0xABCDEF12u, "0xABCDEF12"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_hex(c.value), c.text) << c.value;
}

TEST(OsErrorMessage, KnownCodeCarriesNumberAndSystemText) {
  const std::string message = os_error_message(ERROR_FILE_NOT_FOUND);
  const std::string head = "System Error.  Code: 2.\r\n";
  ASSERT_EQ(message.substr(0, head.size()), head);
  EXPECT_EQ(message.substr(head.size()), system_error_text(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(system_error_text(ERROR_FILE_NOT_FOUND).empty());
  EXPECT_NE(message.back(), '\n');
}

TEST(OsErrorMessage, CodeZeroHasItsOwnText) {
  EXPECT_EQ(os_error_message(0), "A call to an OS function failed");
}

TEST(RaiseLastOsError, RaisesEOSErrorForTheLastError) {
  SetLastError(ERROR_ACCESS_DENIED);
  try {
    raise_last_os_error();
    FAIL() << "nothing raised";
  } catch (const EOSError& error) {
    EXPECT_EQ(error.code(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(error.message(), os_error_message(ERROR_ACCESS_DENIED));
    EXPECT_STREQ(error.class_name(), "EOSError");
  }
}

// A handler for one kind never catches the other.
TEST(ErrorKinds, ExceptionHandlerLetsTextErrorPass) {
  bool text_error_caught = false;
  try {
    try {
      throw TextError("Unable to load ATI DLL");
    } catch (const Exception&) {
      FAIL() << "Exception handler caught a text error";
    }
  } catch (const TextError& error) {
    text_error_caught = error.text() == "Unable to load ATI DLL";
  }
  EXPECT_TRUE(text_error_caught);
}

TEST(ErrorKinds, TextErrorHandlerLetsExceptionPass) {
  bool exception_caught = false;
  try {
    try {
      throw EOSError(127);
    } catch (const TextError&) {
      FAIL() << "text-error handler caught an Exception";
    }
  } catch (const Exception& error) {
    exception_caught = error.message().find("Code: 127.") != std::string::npos;
  }
  EXPECT_TRUE(exception_caught);
}

}  // namespace
