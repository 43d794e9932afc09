// EXPECT_HELPER_ERROR(statement, Case): the statement throws a HelperError of
// that case, whose text is the case's description.
#ifndef VESKAR_TESTS_SUPPORT_HELPER_ERROR_MATCHERS_H_
#define VESKAR_TESTS_SUPPORT_HELPER_ERROR_MATCHERS_H_

#include <gtest/gtest.h>

#include "protocol/errors.h"

#define EXPECT_HELPER_ERROR(statement, expectedCase)                                        \
  do {                                                                                      \
    try {                                                                                   \
      statement;                                                                            \
      ADD_FAILURE() << #statement " did not throw";                                         \
    } catch (const ::veskar::HelperError& error) {                                          \
      EXPECT_EQ(error.errorCase(), ::veskar::HelperError::Case::expectedCase);              \
      EXPECT_STREQ(error.what(),                                                            \
                   ::veskar::HelperError(::veskar::HelperError::Case::expectedCase).what()); \
    } catch (const std::exception& error) {                                                 \
      ADD_FAILURE() << #statement " threw something else: " << error.what();                \
    }                                                                                       \
  } while (false)

#endif  // VESKAR_TESTS_SUPPORT_HELPER_ERROR_MATCHERS_H_
