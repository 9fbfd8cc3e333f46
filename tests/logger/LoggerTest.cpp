#include <calmora/Logger.h>
#include <gtest/gtest.h>
TEST(LoggerPlaceholder, Builds) { SUCCEED(); }
