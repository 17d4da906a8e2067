#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "MQTTStores.h"

namespace {

TByteStream Bytes(std::string_view s) {
  TByteStream b(s);
  b.Seek(b.Size());
  return b;
}

// Adds packets with the given identifiers; each one's bytes name its position.
std::vector<TMQTTPacket *> Fill(TMQTTPacketStore &store, const std::vector<std::uint16_t> &ids) {
  std::vector<TMQTTPacket *> out;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    TByteStream b = Bytes("p" + std::to_string(i));
    out.push_back(store.AddPacket(ids[i], b, 0, 0));
  }
  return out;
}

std::vector<std::string> Contents(const TMQTTPacketStore &store) {
  std::vector<std::string> out;
  for (int i = 0; i < store.Count(); ++i) out.emplace_back(store.GetItem(i)->Msg.View());
  return out;
}

} // namespace

TEST(PacketStore, NewEntriesHaveTheirDefaults) {
  TMQTTPacket p;
  EXPECT_TRUE(p.Publishing);
  EXPECT_EQ(p.Counter, 0u);
  EXPECT_EQ(p.Retries, 0);
  EXPECT_EQ(p.ID, 0);
  EXPECT_TRUE(p.Msg.Empty());
  TMQTTMessage m;
  EXPECT_EQ(m.Qos, qtAT_MOST_ONCE);
  EXPECT_EQ(m.LastUsed, m.Stamp);
  EXPECT_FALSE(m.Retained);
}

TEST(PacketStore, AddPacketCopiesTheWholeBufferAndSetsTheFields) {
  TMQTTPacketStore store;
  const std::string packet("\x32\x05\x00\x01x\x00\x07", 7);
  TByteStream b = Bytes(packet);
  b.Seek(3); // the store copies from the start whatever the position
  TMQTTPacket *p = store.AddPacket(7, b, 2, 60);
  EXPECT_EQ(p->ID, 7);
  EXPECT_EQ(p->Retries, 2);
  EXPECT_EQ(p->Counter, 60u);
  EXPECT_TRUE(p->Publishing);
  EXPECT_EQ(p->Msg.View(), b.View());
  b.Clear();
  b.Write("changed");
  EXPECT_EQ(p->Msg.View(), packet);
}

// Lookups find the oldest entry with an identifier, deletions remove the newest.
TEST(PacketStore, SearchDirections) {
  struct Case {
    const char *name;
    std::vector<std::uint16_t> ids;
    std::vector<std::uint16_t> deletions;
    std::uint16_t lookup;
    const char *found; // contents of GetPacket(lookup) afterwards, or null
    std::vector<std::string> remaining;
  };
  const std::vector<Case> cases = {
      {"get returns the older duplicate", {7, 7}, {}, 7, "p0", {"p0", "p1"}},
      {"delete removes the newer duplicate", {7, 7}, {7}, 7, "p0", {"p0"}},
      {"delete twice removes both", {7, 3, 7}, {7, 7}, 7, nullptr, {"p1"}},
      {"unknown identifier changes nothing", {1, 2}, {9}, 9, nullptr, {"p0", "p1"}},
      {"delete from the middle keeps order", {1, 2, 3, 4}, {2}, 3, "p2", {"p0", "p2", "p3"}},
      {"identifier 0 is an identifier like any", {0, 5}, {0}, 0, nullptr, {"p1"}},
      {"empty store", {}, {4}, 4, nullptr, {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    TMQTTPacketStore store;
    Fill(store, c.ids);
    for (auto id : c.deletions) store.DelPacket(id);
    TMQTTPacket *p = store.GetPacket(c.lookup);
    if (c.found) {
      ASSERT_TRUE(p) << "nothing found";
      EXPECT_EQ(p->Msg.View(), c.found);
    } else {
      EXPECT_FALSE(p);
    }
    EXPECT_EQ(Contents(store), c.remaining);
    EXPECT_EQ(store.Count(), static_cast<int>(c.remaining.size()));
  }
}

TEST(PacketStore, GetItemAndSetItemBounds) {
  TMQTTPacketStore store;
  Fill(store, {1, 2, 3});
  for (int index : {-1, 3, 100}) {
    SCOPED_TRACE(index);
    EXPECT_EQ(store.GetItem(index), nullptr);
    auto value = std::make_unique<TMQTTPacket>();
    TMQTTPacket *raw = value.get();
    auto back = store.SetItem(index, std::move(value));
    EXPECT_EQ(back.get(), raw) << "the caller keeps an entry the store did not take";
    EXPECT_EQ(Contents(store), (std::vector<std::string>{"p0", "p1", "p2"}));
  }
}

TEST(PacketStore, SetItemHandsTheOldEntryToTheCallerAndIndexesTheNewOne) {
  TMQTTPacketStore store;
  auto entries = Fill(store, {1, 2, 3});
  auto value = std::make_unique<TMQTTPacket>();
  value->ID = 9;
  value->Msg.Write("new");
  auto old = store.SetItem(1, std::move(value));
  ASSERT_EQ(old.get(), entries[1]);
  EXPECT_EQ(old->Msg.View(), "p1"); // still alive, now the caller's
  EXPECT_EQ(Contents(store), (std::vector<std::string>{"p0", "new", "p2"}));
  EXPECT_EQ(store.GetPacket(2), nullptr);
  ASSERT_NE(store.GetPacket(9), nullptr);
  EXPECT_EQ(store.GetPacket(9)->Msg.View(), "new");
  // A replaced entry takes its place in the search order among duplicates.
  TByteStream b = Bytes("later9");
  store.AddPacket(9, b, 0, 0);
  auto first9 = std::make_unique<TMQTTPacket>();
  first9->ID = 9;
  first9->Msg.Write("first9");
  store.SetItem(0, std::move(first9));
  EXPECT_EQ(store.GetPacket(9)->Msg.View(), "first9");
  store.DelPacket(9);
  EXPECT_EQ(Contents(store), (std::vector<std::string>{"first9", "new", "p2"}));
}

TEST(PacketStore, RemoveHandsTheEntryOverAndClearDoesNotFreeIt) {
  TMQTTPacketStore store;
  auto entries = Fill(store, {4, 5, 6});
  std::unique_ptr<TMQTTPacket> taken = store.Remove(entries[1]);
  ASSERT_EQ(taken.get(), entries[1]);
  EXPECT_EQ(store.Count(), 2);
  EXPECT_EQ(store.GetPacket(5), nullptr);
  EXPECT_EQ(store.Remove(entries[1]), nullptr) << "not listed any more";
  store.Clear();
  EXPECT_EQ(store.Count(), 0);
  EXPECT_EQ(taken->Msg.View(), "p1"); // ASan reports a use after free if Clear freed it
}

TEST(PacketStore, AssignMakesIndependentCopiesInOrder) {
  TMQTTPacketStore from, to;
  auto src = Fill(from, {1, 2, 3});
  src[2]->Publishing = false;
  src[2]->Counter = 12;
  src[2]->Retries = 4;
  Fill(to, {8, 9});
  to.Assign(from);
  EXPECT_EQ(Contents(to), Contents(from));
  EXPECT_EQ(to.GetPacket(8), nullptr);
  TMQTTPacket *copy = to.GetPacket(3);
  ASSERT_TRUE(copy);
  EXPECT_NE(copy, src[2]);
  EXPECT_FALSE(copy->Publishing);
  EXPECT_EQ(copy->Counter, 12u);
  EXPECT_EQ(copy->Retries, 4);
  EXPECT_EQ(copy->Stamp, src[2]->Stamp);
  copy->Msg.Clear();
  copy->Msg.Write("x");
  EXPECT_EQ(src[2]->Msg.View(), "p2");
}

TEST(MessageStore, OperationsMirrorThePacketStore) {
  TMQTTMessageStore store;
  TMQTTMessage *a = store.AddMsg(7, "t/a", "A", qtEXACTLY_ONCE, 1, 2, true);
  TMQTTMessage *b = store.AddMsg(7, "t/b", "B", qtAT_LEAST_ONCE, 0, 0, false);
  store.AddMsg(8, "t/c", std::string("\0\xff", 2), qtEXACTLY_ONCE, 0, 0, false);
  EXPECT_EQ(a->Topic, "t/a");
  EXPECT_EQ(a->Message, "A");
  EXPECT_EQ(a->Qos, qtEXACTLY_ONCE);
  EXPECT_EQ(a->Retries, 1);
  EXPECT_EQ(a->Counter, 2u);
  EXPECT_TRUE(a->Retained);
  EXPECT_EQ(store.GetMsg(7), a);
  store.DelMsg(7); // the newer one goes
  EXPECT_EQ(store.Count(), 2);
  EXPECT_EQ(store.GetMsg(7), a);
  EXPECT_EQ(store.GetItem(1)->Message, std::string("\0\xff", 2));
  store.DelMsg(99);
  EXPECT_EQ(store.Count(), 2);
  EXPECT_EQ(store.GetItem(-1), nullptr);
  EXPECT_EQ(store.GetItem(2), nullptr);
  (void)b;

  TMQTTMessageStore copy;
  copy.AddMsg(1, "x", "y", qtAT_MOST_ONCE, 0, 0, false);
  copy.Assign(store);
  ASSERT_EQ(copy.Count(), 2);
  EXPECT_NE(copy.GetItem(0), store.GetItem(0));
  EXPECT_EQ(copy.GetItem(0)->Topic, "t/a");
  EXPECT_EQ(copy.GetItem(0)->LastUsed, a->LastUsed);
  copy.GetItem(0)->Message = "changed";
  EXPECT_EQ(a->Message, "A");

  auto taken = store.Remove(a);
  ASSERT_EQ(taken.get(), a);
  EXPECT_EQ(store.GetMsg(7), nullptr);
  auto replaced = store.SetItem(0, std::move(taken));
  EXPECT_EQ(replaced->Topic, "t/c");
  EXPECT_EQ(store.GetMsg(7), a);
  EXPECT_EQ(store.GetMsg(8), nullptr);
}

TEST(SetDupFlag, ChangesOnlyBitThreeOfTheFirstByte) {
  struct Case {
    std::string in;
    bool dup;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"\x32\x05\x00\x01x\x00\x07", true, "\x3A\x05\x00\x01x\x00\x07"},
      {"\x3A\x05", false, "\x32\x05"},
      {"\x3B\x00", true, "\x3B\x00"},
      {std::string("\x82\x06\x00\x01\x00\x01" "a\x01", 8), true, std::string("\x8A\x06\x00\x01\x00\x01" "a\x01", 8)},
      {"\x62\x02\x00\x05", true, "\x6A\x02\x00\x05"},
      {"", true, ""},
  };
  for (const auto &c : cases) {
    TByteStream b(c.in);
    b.Seek(b.Size());
    SetDupFlag(b, c.dup);
    EXPECT_EQ(b.View(), c.out);
    EXPECT_EQ(b.Size(), c.in.size());
  }
}

// Many unacknowledged packets, acknowledged in various orders, interleaved with
// lookups and positional access: the indexes must agree with a plain model.
TEST(PacketStore, LargeStoreAgreesWithAPlainModel) {
  constexpr int N = 50000;
  for (const char *order : {"in order", "reversed", "shuffled"}) {
    SCOPED_TRACE(order);
    TMQTTPacketStore store;
    std::vector<std::uint16_t> ids(N);
    for (int i = 0; i < N; ++i) {
      ids[i] = static_cast<std::uint16_t>(i + 1);
      TByteStream b = Bytes(std::to_string(i + 1));
      store.AddPacket(ids[i], b, 0, 60);
    }
    std::vector<std::uint16_t> acks = ids;
    if (std::string(order) == "reversed") std::reverse(acks.begin(), acks.end());
    if (std::string(order) == "shuffled") std::shuffle(acks.begin(), acks.end(), std::mt19937(42));
    std::vector<std::uint16_t> model = ids;
    std::vector<bool> gone(N + 1);
    std::mt19937 rng(7);
    for (int k = 0; k < N; ++k) {
      const std::uint16_t id = acks[k];
      ASSERT_NE(store.GetPacket(id), nullptr);
      ASSERT_EQ(store.GetPacket(id)->Msg.View(), std::to_string(id));
      store.DelPacket(id);
      gone[id] = true;
      ASSERT_EQ(store.GetPacket(id), nullptr);
      if (k % 4999 == 0) { // positional access agrees with the model at random points
        model.erase(std::remove_if(model.begin(), model.end(), [&](auto x) { return gone[x]; }),
                    model.end());
        ASSERT_EQ(store.Count(), static_cast<int>(model.size()));
        for (int probe = 0; probe < 20 && !model.empty(); ++probe) {
          const int i = static_cast<int>(rng() % model.size());
          ASSERT_EQ(store.GetItem(i)->ID, model[i]);
        }
      }
    }
    EXPECT_EQ(store.Count(), 0);
  }
}
