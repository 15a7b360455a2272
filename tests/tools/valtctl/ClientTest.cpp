// How valtctl proves who it is. Its reading of the daemon's requests and its
// answers to offered calls are driven end to end (tests/e2e/test_valtctl.py:
// call events, CDR, extension list, accept, decline, redirect, routing).
#include "Client.h"

#include <gtest/gtest.h>

TEST(ClientTest, SecureDigestIsLowercaseMd5OfUserPasswordAndStamp) {
    EXPECT_EQ(SecureDigest("201", "s3cret", "1700000000"), "55bedca7e566775f76d3d55508df589e");
}
