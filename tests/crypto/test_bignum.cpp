/* The big-number kernel as the product uses it (digest numbers written out as bytes and text) is
 * checked through the digest and signature vectors in test_shs and test_hmac; what those cannot
 * see is the wipe. */
#include "testutil.h"
#include "wipe.h"

#include <gtest/gtest.h>

using testutil::Bytes;

TEST(Wipe, ClearsEveryByte)
{
    testutil::ExactBuffer secret(Bytes(37, 0xA5));
    secure_wipe(secret.get(), 37);
    EXPECT_EQ(Bytes(secret.get(), secret.get() + 37), Bytes(37, 0));
    secure_wipe(nullptr, 0);
}
