// Formatting gives the whole text whatever its length: the copies it replaced
// cut log and trace lines at 512 or 600 bytes.
#include <gtest/gtest.h>

#include <string>

#include "platform/format.h"

TEST(Format, WholeTextAtAnyLength) {
  for (size_t n : {0u, 1u, 511u, 512u, 513u, 599u, 600u, 601u, 5000u}) {
    const std::string body(n, 'x');
    EXPECT_EQ(plat::Format("<%s|%d>", body.c_str(), 7), "<" + body + "|7>") << n;
  }
  EXPECT_EQ(plat::Format("%s", ""), "");
  EXPECT_EQ(plat::Format("%05.1f %x %c", 3.14159, 255u, 'z'), "003.1 ff z");
}
