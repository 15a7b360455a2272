// How valtctl proves who it is.
#include "Client.h"

#include <gtest/gtest.h>

TEST(ClientTest, SecureDigestIsLowercaseMd5OfUserPasswordAndStamp) {
    EXPECT_EQ(SecureDigest("201", "s3cret", "1700000000"), "55bedca7e566775f76d3d55508df589e");
}
