#include "testenv.h"

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    testenv::loadAll();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
