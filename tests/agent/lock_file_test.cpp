// The lock-file parse on its own: the byte range it reads and inputs the
// probe cannot easily produce.
#include "agent/lock_file.h"

#include <string>

#include <gtest/gtest.h>

namespace {

int Pid(const std::string& s) { return CVLockFilePid(s.data(), s.size()); }

TEST(LockFilePidTest, ParsesExactlyTheGivenBytes) {
  const std::string buf = "{\"pid\":731}99";
  EXPECT_EQ(CVLockFilePid(buf.data(), 11), 731);
  EXPECT_EQ(CVLockFilePid(buf.data(), 12), 0);
  EXPECT_EQ(CVLockFilePid(buf.data(), 10), 0);
  // A text cut inside the object is malformed.
  EXPECT_EQ(CVLockFilePid("{\"pid\":7319}", 9), 0);
  EXPECT_EQ(CVLockFilePid(nullptr, 0), 0);
}

TEST(LockFilePidTest, NulBytesMakeTheTextMalformed) {
  EXPECT_EQ(Pid(std::string("{\"pid\":731}\0", 12)), 0);
  EXPECT_EQ(Pid(std::string("{\"pid\":731}\0garbage", 19)), 0);
  EXPECT_EQ(Pid(std::string("\0{\"pid\":731}", 12)), 0);
  EXPECT_EQ(Pid(std::string("{\"pid\":731,\"n\":\"a\0b\"}", 21)), 0);
}

TEST(LockFilePidTest, OddButValidDocuments) {
  EXPECT_EQ(Pid("{\"pid\":-0}"), 0);
  EXPECT_EQ(Pid("{\"pid\":-0.5}"), 0);
  EXPECT_EQ(Pid("{\"pid\":1.5e2}"), 150);
  EXPECT_EQ(Pid("{\"pid\":2147483647e0}"), 2147483647);
  EXPECT_EQ(Pid("{\"pid\":-2147483648.9}"), -2147483648);
  EXPECT_EQ(Pid("{\"pid\":-2147483649.0}"), 0);
  EXPECT_EQ(Pid("{\"pid\":4294967296731}"), 0) << "no wrap to 731";
  EXPECT_EQ(Pid("{\"pid\":-9223372036854775808}"), 0);
  EXPECT_EQ(Pid("{\"pid\":1e-400}"), 0);
  EXPECT_EQ(Pid("{\"n\":\"\\u00e9\",\"pid\":731}"), 731);
}

TEST(LockFilePidTest, HostileInputDoesNotCrash) {
  EXPECT_EQ(Pid(std::string(100000, '[')), 0);
  EXPECT_EQ(Pid(std::string(5000, '[') + std::string(5000, ']')), 0);
  EXPECT_EQ(Pid("{\"pid\":731,\"n\":\"\xff\xfe\"}"), 0);
  EXPECT_EQ(Pid("{\"pid\":" + std::string(5000, '9') + "}"), 0);
  // The decimal rounds to the double 1.0 before the fraction is dropped.
  EXPECT_EQ(Pid("{\"pid\":0." + std::string(5000, '9') + "}"), 1);
}

}  // namespace
