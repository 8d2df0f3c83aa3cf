#include "common/panic.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

#include "concurrency/thread.hpp"

namespace quillmarsh {
namespace {

TEST(Panic, CarriesMessageAndTheCallersLocation) {
  const unsigned line = __LINE__ + 2;
  try {
    panic("boom");
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), "boom");
    EXPECT_EQ(p.where().line(), line);
    EXPECT_NE(std::string(p.where().file_name()).find("panic_test.cpp"), std::string::npos);
  }
}

TEST(Panic, IndexAndUnwrapMessagesHaveTheirFixedForm) {
  try {
    panic_index(3, 18446744073709551615ull);
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(),
              "index out of bounds: the len is 3 but the index is 18446744073709551615");
  }
  try {
    panic_unwrap_err("Os { code: 2 }");
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), "called `Result::unwrap()` on an `Err` value: Os { code: 2 }");
  }
}

TEST(RunReportingFailures, ReportsEveryKindOfFailureToStderr) {
  testing::internal::CaptureStderr();
  EXPECT_FALSE(run_reporting_failures([] { panic("first"); }));
  EXPECT_FALSE(run_reporting_failures([] { throw std::runtime_error("second"); }));
  EXPECT_FALSE(run_reporting_failures([] { throw 42; }));
  EXPECT_TRUE(run_reporting_failures([] {}));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("first"), std::string::npos);
  EXPECT_NE(err.find("panic_test.cpp"), std::string::npos);
  EXPECT_NE(err.find("second"), std::string::npos);
  EXPECT_NE(err.find(kGenericFailure), std::string::npos);
}

// A job's owner keeps the message and goes on; what is not a failure (here an int, as a
// cancellation would be) reaches the owner untouched.
TEST(CaptureFailure, KeepsTheMessageOfAFailureAndPassesAnythingElseOn) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(capture_failure([] { panic("first"); }), "first");
  EXPECT_EQ(capture_failure([] { throw std::runtime_error("second"); }), "second");
  EXPECT_EQ(capture_failure([] {}), std::nullopt);
  EXPECT_THROW(capture_failure([] { throw 42; }), int);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("first"), std::string::npos);
  EXPECT_NE(err.find("second"), std::string::npos);
}

TEST(RenderOsError, ShowsTextAndNumber) {
  EXPECT_EQ(os_error_text(std::error_code(11, std::generic_category())),
            "Resource temporarily unavailable (os error 11)");
}

}  // namespace
}  // namespace quillmarsh
