// Precompiles <gtest/gtest.h> with the flags of the test programs; it has no tests.
