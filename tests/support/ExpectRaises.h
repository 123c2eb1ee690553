// The one check that a call raises one of the program's exception classes
// with an exact message, for every suite.
#pragma once

#include <gtest/gtest.h>

#include <exception>
#include <string>
#include <utility>

namespace velmora::test {

// Runs `f` and expects it to raise E (or a class derived from it) with
// Message() equal to `message`; when `className` is given, ClassName() must
// be that text too (the name the console line shows); then `check` runs on
// the exception for what else the caller asserts (an SQL code, a status). A
// call that returns, or raises anything else, is a test failure naming what
// happened. Returns whether E was raised, so a caller can stop when the rest
// depends on it.
template <typename E, typename F, typename Check>
bool ExpectRaisesAnd(F&& f, const std::string& message, const char* className, Check&& check) {
  try {
    f();
  } catch (const E& e) {
    EXPECT_EQ(e.Message(), message);
    if (className != nullptr) {
      EXPECT_STREQ(e.ClassName(), className);
    }
    check(e);
    return true;
  } catch (const std::exception& e) {
    ADD_FAILURE() << "another exception (" << e.what() << "), expected: " << message;
    return false;
  }
  ADD_FAILURE() << "no exception, expected: " << message;
  return false;
}

// ExpectRaisesAnd with nothing more to check.
template <typename E, typename F>
bool ExpectRaises(F&& f, const std::string& message, const char* className = nullptr) {
  return ExpectRaisesAnd<E>(std::forward<F>(f), message, className, [](const E&) {});
}

}  // namespace velmora::test
