// Test fixture over the in-memory platform: a fresh stand-in for each test, checked at the end.
#pragma once

#include "tests/fake_platform.h"

#include <gtest/gtest.h>

#include <string>

class StandInTest : public ::testing::Test {
  protected:
    void SetUp() override { fake::reset(); }
    // Every test ends with no handle open, no block leaked and nothing misused.
    void TearDown() override { EXPECT_EQ(fake::problems(), ""); }
};

// The bytes of a string literal, NULs included.
template <std::size_t N> std::string bytes(const char (&literal)[N]) {
    return std::string(literal, N - 1);
}
