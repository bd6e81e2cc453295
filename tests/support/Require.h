#pragma once
// What a test needs from the machine: a sound server, a display, a built firmware. A test whose
// need is missing fails and says what to install or start; it never passes by skipping.
// (`scripts/setup --tests` installs every piece; each test program starts the servers it uses.)

#include <gtest/gtest.h>

#define KF_REQUIRE(condition, what)                                                        \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            GTEST_FAIL() << "missing: " << what << " (scripts/setup --tests installs it)"; \
        }                                                                                  \
    } while (0)
