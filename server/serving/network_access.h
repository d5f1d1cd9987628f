// Access lists of networks (AllowNetworks, DenyNetworks): read from text
// once, then looked up for every request. The most specific network that
// holds an address decides; at equal length a deny beats an allow. An
// address in no listed network is allowed, unless an allow list is given:
// then only its networks are.
#pragma once

#include <array>
#include <boost/asio/ip/address.hpp>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace mdl {

// An IPv4 or IPv6 network with its host bits cleared.
struct Network {
  bool v6 = false;
  std::array<uint8_t, 16> bytes{};  // IPv4: the first 4
  uint8_t prefix = 0;               // up to 32 (IPv4) or 128 (IPv6)
  bool operator==(const Network&) const = default;
};

// "10.0.0.0/8", "2001:db8::/32": always with its prefix length.
std::string NetworkText(const Network& n);

struct NetworkList {
  std::vector<Network> networks;
  // Entries that are not networks, as written (cut to 64 characters, with
  // anything unprintable shown as '?').
  std::vector<std::string> malformed;
  // Whether the text named anything at all, usable or not.
  bool given() const { return !networks.empty() || !malformed.empty(); }
};

// Reads entries separated by spaces, tabs, line ends, commas or semicolons:
// "a.b.c.d/n" or an IPv6 "x:y::/n"; an address alone is one host (/32,
// /128). IPv4-mapped IPv6 networks (::ffff:a.b.c.d/n, n of 96 or more) are
// read as the IPv4 network they map. A bad address, a scope id ("%eth0"), a
// prefix length beyond the family's or anything else is malformed.
NetworkList ParseNetworkList(std::string_view text);

// The lines that say what a pair of lists does: one per list with malformed
// entries (naming them), one when an allow list names no usable network (it
// still restricts: everyone is denied), and "access lists: N networks
// allowed, M denied" when either list is given. Empty when neither is.
std::vector<std::string> DescribeAccessLists(const NetworkList& allow, const NetworkList& deny);

class NetworkAccess {
 public:
  // Allows every address.
  NetworkAccess() = default;
  // A given allow list restricts even when none of its entries was usable:
  // the administrator meant to admit only some clients.
  NetworkAccess(const NetworkList& allow, const NetworkList& deny);

  // False when every address is allowed: the serving path then need not ask.
  bool restricting() const { return restricting_; }
  // Sources that are IPv4-mapped IPv6 addresses are looked up as IPv4.
  // No allocation; one binary search per distinct prefix length listed.
  bool Allows(const boost::asio::ip::address& a) const;

 private:
  struct V6Key {
    uint64_t hi = 0;
    uint64_t lo = 0;
    auto operator<=>(const V6Key&) const = default;
  };
  template <typename Key>
  struct Entry {
    Key key{};
    bool deny = false;
  };
  // The networks of one prefix length, sorted by key; a network in both
  // lists appears once, as a deny.
  template <typename Key>
  struct Level {
    unsigned prefix = 0;
    std::vector<Entry<Key>> entries;
  };
  template <typename Key>
  using Levels = std::vector<Level<Key>>;  // longest prefix first

  template <typename Key>
  static void Add(Levels<Key>& levels, Key key, unsigned prefix, bool deny);
  template <typename Key>
  static void Finish(Levels<Key>& levels);
  template <typename Key, typename Mask>
  bool Decide(const Levels<Key>& levels, Key key, Mask mask) const;

  Levels<uint32_t> v4_;
  Levels<V6Key> v6_;
  bool restricting_ = false;
  bool allow_only_listed_ = false;  // an allow list is given
};

}  // namespace mdl
