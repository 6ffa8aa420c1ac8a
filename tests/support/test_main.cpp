// Test main: every test binary runs only inside the appliance root, never on
// the host, whose /etc and /dev it must not touch.
#include <gtest/gtest.h>

#include <cstdio>

#include "appliance.h"

int main(int argc, char **argv) {
    if (!qtest::InAppliance()) {
        fprintf(stderr,
                "%s: refuses to run outside the appliance root; "
                "run it through sim/appliance or ctest\n",
                argv[0]);
        return 77;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
