// Tests of the authenticated load's cookie bookkeeping.
#include "bench/nts_slots.h"

#include <gtest/gtest.h>

#include <vector>

namespace mdl::bench {
namespace {

std::vector<Cookie> Cookies(size_t n, uint8_t first) {
  std::vector<Cookie> out;
  for (size_t i = 0; i < n; ++i) out.push_back(Cookie(4, static_cast<uint8_t>(first + i)));
  return out;
}

TEST(NtsSlotBook, PlaceholdersRebuildOneCookiePerSlotFromAFewAtStart) {
  NtsSlotBook book(64);
  book.AddCookies(Cookies(8, 0));
  size_t sent = 0;
  for (size_t i = 0; i < 64; ++i) sent += book.Send(i).has_value();
  EXPECT_EQ(sent, 8u) << "only the eight cookies held can go out";
  EXPECT_EQ(book.expected(), 64u) << "those eight ask back one cookie per slot";
  EXPECT_EQ(book.parked(), 56u);
  EXPECT_TRUE(book.TakeReady().empty()) << "no cookie held: nobody may send yet";

  // Each answer brings what its request asked for; the parked slots follow.
  for (size_t i = 0; i < 8; ++i) book.Answered(i, Cookies(8, static_cast<uint8_t>(8 * i)));
  EXPECT_EQ(book.held(), 64u);
  EXPECT_EQ(book.expected(), 0u);
  const std::vector<size_t> ready = book.TakeReady();
  ASSERT_EQ(ready.size(), 56u);
  EXPECT_EQ(ready.front(), 8u) << "parked slots come back in the order they were parked";
  EXPECT_EQ(ready.back(), 63u);
  EXPECT_EQ(book.parked(), 0u);
  // Now every slot has its cookie: no placeholders any more.
  for (size_t i = 0; i < 64; ++i) {
    auto r = book.Send(i);
    ASSERT_TRUE(r) << "slot " << i;
    EXPECT_EQ(r->placeholders, 0u) << "slot " << i << " asks for more than it spends";
  }
  EXPECT_EQ(book.held(), 0u);
  EXPECT_EQ(book.expected(), 64u);
}

TEST(NtsSlotBook, EachCookieGoesOutOnceOldestFirst) {
  NtsSlotBook book(3);
  book.AddCookies(Cookies(3, 10));
  auto a = book.Send(0);
  ASSERT_TRUE(a);
  book.Answered(0, Cookies(1, 50));
  auto b = book.Send(1);
  auto c = book.Send(2);
  auto d = book.Send(0);
  ASSERT_TRUE(b && c && d);
  EXPECT_EQ(a->cookie, Cookie(4, 10));
  EXPECT_EQ(b->cookie, Cookie(4, 11));
  EXPECT_EQ(c->cookie, Cookie(4, 12));
  EXPECT_EQ(d->cookie, Cookie(4, 50)) << "the reply's fresh cookie is used after the older ones";
  EXPECT_FALSE(book.Send(1).has_value()) << "slot 1 resent: its old request fails, no cookie is left";
}

TEST(NtsSlotBook, LossesAreMadeUpWithPlaceholders) {
  NtsSlotBook book(4);
  book.AddCookies(Cookies(4, 0));
  for (size_t i = 0; i < 4; ++i) ASSERT_EQ(book.Send(i)->placeholders, 0u);
  book.Failed(0);  // lost: its cookie does not come back
  book.Failed(1);
  EXPECT_EQ(book.expected(), 2u);
  EXPECT_FALSE(book.Send(0)) << "no cookie held";
  book.Answered(2, Cookies(1, 20));
  auto r = book.Send(1);
  ASSERT_TRUE(r);
  // Held 0 after this, to come: slot 3's one and this request's own: 2 short of 4.
  EXPECT_EQ(r->placeholders, 2u);
  EXPECT_EQ(book.expected(), 4u);
  EXPECT_TRUE(book.TakeReady().empty()) << "slot 0 parked, but no cookie for it yet";
}

TEST(NtsSlotBook, PlaceholdersAreCappedAndTheStoreBounded) {
  NtsSlotBook book(100);
  book.AddCookies(Cookies(1, 0));
  auto r = book.Send(0);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->placeholders, NtsSlotBook::kMaxPlaceholders);
  // A server sending far more than asked: the store stays bounded.
  book.Answered(0, Cookies(250, 0));
  EXPECT_EQ(book.held(), 108u);
  book.AddCookies({Cookie{}, Cookie(4, 1)});
  EXPECT_EQ(book.held(), 108u) << "empty cookies and those past the bound are dropped";

  // Requests bounded in size: fewer placeholders, more rounds to fill up.
  NtsSlotBook small(8, 2);
  small.AddCookies(Cookies(2, 0));
  EXPECT_EQ(small.Send(0)->placeholders, 2u);
  EXPECT_EQ(small.Send(1)->placeholders, 2u);
  EXPECT_EQ(small.expected(), 6u);
  small.Answered(0, Cookies(3, 0));
  small.Answered(1, Cookies(3, 3));
  EXPECT_EQ(small.Send(2)->placeholders, 2u) << "5 held after it, 1 back from it: 2 short of 8";
  EXPECT_EQ(small.Send(3)->placeholders, 0u) << "4 held after it, 3 + 1 to come: none short";
  EXPECT_EQ(NtsSlotBook(4, 99).Send(0), std::nullopt);
}

TEST(NtsSlotBook, RepliesOutOfTurnAndStarvation) {
  NtsSlotBook book(2);
  book.Answered(1, Cookies(5, 0));  // nothing in flight there: ignored
  EXPECT_EQ(book.held(), 0u);
  EXPECT_TRUE(book.starved());
  book.AddCookies(Cookies(1, 0));
  EXPECT_FALSE(book.starved());
  ASSERT_TRUE(book.Send(0));
  EXPECT_FALSE(book.starved()) << "a cookie is still to come";
  book.Answered(0, Cookies(2, 1));
  book.Answered(0, Cookies(2, 3));  // a duplicate answer adds nothing
  EXPECT_EQ(book.held(), 2u);
  ASSERT_TRUE(book.Send(0));
  ASSERT_TRUE(book.Send(1));
  book.Failed(0);
  book.Failed(1);
  book.Failed(1);
  EXPECT_EQ(book.expected(), 0u);
  EXPECT_TRUE(book.starved()) << "every cookie went out on requests that failed";
  EXPECT_FALSE(book.Send(7)) << "no such slot";
  EXPECT_FALSE(book.in_flight(7));
}

}  // namespace
}  // namespace mdl::bench
