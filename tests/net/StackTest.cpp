#include <gtest/gtest.h>

#include "IdStack.h"

TEST(Stack, Placeholder)
{
    EXPECT_TRUE(TIdStack::IsDottedQuad("0.0.0.0"));
}
