#include "transport/tcp/client_networks.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>

#include "platform/exception.h"

namespace {

sockaddr_storage Address(const char* AText) {
  sockaddr_storage address{};
  auto& v4 = reinterpret_cast<sockaddr_in&>(address);
  auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
  if (::inet_pton(AF_INET, AText, &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
  } else if (::inet_pton(AF_INET6, AText, &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
  } else {
    ADD_FAILURE() << AText;
  }
  return address;
}

TEST(ClientNetworks, AdmitsWhatItsNetworksHold) {
  struct TCase {
    const char* networks;
    const char* peer;
    bool allowed;
  };
  const TCase cases[] = {
      {"127.0.0.0/8", "127.0.0.2", true},
      {"127.0.0.0/8", "::ffff:127.0.0.2", true},  // IPv4 through the dual-stack socket
      {"127.0.0.0/8", "128.0.0.1", false},
      {"127.0.0.1", "127.0.0.2", false},  // a bare address is itself alone
      {"10.1.2.0/23", "10.1.3.255", true},
      {"10.1.2.0/23", "10.1.4.0", false},
      {"::1", "::1", true},
      {"::1", "::2", false},
      {"fe80::/10", "febf::1", true},
      {"fe80::/10", "fec0::1", false},
      {"192.168.0.0/16, fe80::/10", "192.168.7.7", true},
      {"0.0.0.0/0", "8.8.8.8", true},
      {"0.0.0.0/0", "2001:db8::1", false},  // a family is matched by its own networks
      {"*", "2001:db8::1", true},
      {"10.0.0.0/8; *", "8.8.8.8", true},
  };
  for (const TCase& c : cases) {
    const TClientNetworks networks = TClientNetworks::Parse(c.networks);
    EXPECT_EQ(networks.Allows(Address(c.peer)), c.allowed) << c.networks << " / " << c.peer;
  }
}

TEST(ClientNetworks, TheDefaultIsTheLocalNetworks) {
  const TClientNetworks local = TClientNetworks::Parse(kDefaultClientNetworks);
  for (const char* peer : {"127.0.0.1", "::1", "10.20.30.40", "172.31.255.1", "192.168.0.10",
                           "169.254.1.1", "fd00::5", "fe80::1", "::ffff:192.168.1.1"})
    EXPECT_TRUE(local.Allows(Address(peer))) << peer;
  for (const char* peer : {"8.8.8.8", "172.32.0.1", "100.64.0.1", "2001:db8::1"})
    EXPECT_FALSE(local.Allows(Address(peer))) << peer;
  EXPECT_TRUE(TClientNetworks().AllowsAll());
}

TEST(ClientNetworks, AnEntryThatIsNoNetworkIsNamed) {
  for (const char* bad : {"10.0.0.0/33", "::/129", "1.2.3.4/", "1.2.3.4/x", "rede-da-empresa",
                          "10.0.0.0/8 256.1.1.1", "", " , ;"}) {
    try {
      TClientNetworks::Parse(bad);
      ADD_FAILURE() << "accepted: " << bad;
    } catch (const Exception& e) {
      EXPECT_NE(std::string(e.what()).find("Rede de clientes inválida"), std::string::npos)
          << e.what();
    }
  }
}

}  // namespace
