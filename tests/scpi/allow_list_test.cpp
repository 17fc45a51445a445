// kpxadac-scpi's --allow networks and --listen address.
#include "allow_list.h"

#include <gtest/gtest.h>

namespace {

using kpx::scpi_server::Network;

struct AllowCase {
  std::string network, address;
  bool allowed;
};

TEST(ScpiAllowList, AddressesInsideTheNetworksAreLetIn) {
  const std::vector<AllowCase> cases = {
      {"192.0.2.0/24", "192.0.2.7", true},        {"192.0.2.0/24", "192.0.3.7", false},
      {"192.0.2.0/24", "::ffff:192.0.2.7", true}, {"192.0.2.128/25", "192.0.2.127", false},
      {"192.0.2.128/25", "192.0.2.200", true},    {"10.0.0.0/8", "10.255.1.1", true},
      {"10.0.0.0/9", "10.128.0.1", false},        {"0.0.0.0/0", "203.0.113.9", true},
      {"0.0.0.0/0", "2001:db8::1", false},        {"127.0.0.1", "127.0.0.1", true},
      {"127.0.0.1", "127.0.0.2", false},          {"2001:db8::/32", "2001:db8:1::1", true},
      {"2001:db8::/32", "2001:db9::1", false},    {"::1", "::1", true},
  };
  for (const auto& c : cases) {
    Network n;
    ASSERT_EQ(kpx::scpi_server::parseNetwork(c.network, n), "") << c.network;
    EXPECT_EQ(kpx::scpi_server::allowed({n}, asio::ip::make_address(c.address)), c.allowed)
        << c.network << " / " << c.address;
  }
  EXPECT_FALSE(kpx::scpi_server::allowed({}, asio::ip::make_address("127.0.0.1")));
}

TEST(ScpiAllowList, BadNetworksAndEndpointsAreRefusedWithAReason) {
  for (const char* bad : {"192.0.2.0/33", "2001:db8::/129", "abc", "1.2.3.4/", "1.2.3.4/x",
                          "1.2.3.4/-1", "", "/24", "1.2.3.4/24/1"}) {
    Network n;
    EXPECT_NE(kpx::scpi_server::parseNetwork(bad, n), "") << bad;
  }
  for (const char* bad : {"::1", "1.2.3.4", "1.2.3.4:", "1.2.3.4:65536", "1.2.3.4:-1", "host:80",
                          ":80", "[::1]:x", "1.2.3.4:80x"}) {
    asio::ip::tcp::endpoint e;
    EXPECT_NE(kpx::scpi_server::parseEndpoint(bad, e), "") << bad;
  }
  asio::ip::tcp::endpoint e;
  ASSERT_EQ(kpx::scpi_server::parseEndpoint("[::1]:5025", e), "");
  EXPECT_EQ(e.port(), 5025);
  EXPECT_TRUE(e.address().is_loopback());
  ASSERT_EQ(kpx::scpi_server::parseEndpoint("0.0.0.0:0", e), "");
  EXPECT_FALSE(e.address().is_loopback());
}

}  // namespace
