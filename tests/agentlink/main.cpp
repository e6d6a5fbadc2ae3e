#include "testsupport.h"

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    tsav::test::app(); // the event loop the client and supervisor tests run on
    return RUN_ALL_TESTS();
}
