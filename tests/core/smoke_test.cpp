#include <gtest/gtest.h>
#include "core/numbers.h"
TEST(Smoke, Builds) { EXPECT_EQ(tagvane::SingleText(24147.55f), "24147.55"); }
