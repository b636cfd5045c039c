// A test that cannot run on this machine for want of something (a network
// namespace, a buffer size, a descriptor limit): a skip with its reason, but
// under CI=true (or 1) a failure with that reason, so that CI never passes a
// test it did not run. A skip that belongs to the parameterisation (a
// datagram link has no connection to drop) stays GTEST_SKIP.
//
//   if (!ns.ok()) TARNLINK_CANNOT_RUN() << ns.why();
#ifndef TARNLINK_TESTS_SUPPORT_CANNOT_RUN_H_
#define TARNLINK_TESTS_SUPPORT_CANNOT_RUN_H_

#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

namespace tarnlink::test {

inline bool UnderCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && (std::strcmp(ci, "true") == 0 || std::strcmp(ci, "1") == 0);
}

inline ::testing::TestPartResult::Type CannotRunResult() {
  return UnderCi() ? ::testing::TestPartResult::kFatalFailure : ::testing::TestPartResult::kSkip;
}

}  // namespace tarnlink::test

// As GTEST_SKIP() and FAIL(): returns from the test, takes << with the reason.
#define TARNLINK_CANNOT_RUN()                                                                                   \
  return ::testing::internal::AssertHelper(::tarnlink::test::CannotRunResult(), __FILE__, __LINE__,             \
                                           ::tarnlink::test::UnderCi() ? "cannot run here (a failure under CI)" \
                                                                       : "cannot run here") = ::testing::Message()

#endif  // TARNLINK_TESTS_SUPPORT_CANNOT_RUN_H_
