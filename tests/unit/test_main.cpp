// Entry point of the Windows unit tests. The same program doubles as the
// "other process" that holds a file open, so no second binary is needed.
#include <gtest/gtest.h>

#include "win_test_support.h"

int main(int argc, char** argv)
{
    if (RunAsHolderIfAsked(argc, argv))
        return 0;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
