// Runs an action that must fail with a LinkError and returns that error, so
// that a test can look at its code and text; the test fails when the action
// throws nothing or something else.
#pragma once

#include <moravane/LinkError.h>

#include <gtest/gtest.h>

#include <exception>

namespace testsupport {

template <class F>
moravane::LinkError ExpectLinkError(F&& action) {
  try {
    action();
  } catch (const moravane::LinkError& error) {
    return error;
  } catch (const std::exception& error) {
    ADD_FAILURE() << "expected a LinkError, got " << error.what();
    return moravane::LinkError();
  }
  ADD_FAILURE() << "expected a LinkError, nothing was thrown";
  return moravane::LinkError();
}

}  // namespace testsupport
