// The suites' own main. Output is unbuffered, so a suite that dies part way
// still shows how far it got, and it says it has started before anything else:
// a suite that ends having printed nothing never reached main, which is how
// wine-run.sh tells a program Wine failed to start from one that failed.
#include <gtest/gtest.h>
#include <stdio.h>

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    printf("%s: started\n", argv[0]);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
