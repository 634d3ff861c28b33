#include "shared/lists/keyed_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "shared/platform/console.h"

namespace korv {
namespace {

// Runs an operation with the console captured and returns what it printed.
template <typename Fn>
std::string Printed(Fn fn) {
  std::string sink;
  TEST_CaptureOutput(&sink);
  fn();
  TEST_CaptureOutput(nullptr);
  return sink;
}

std::string NamedKey(const ListLinkView<int32_t, int32_t>& link) {
  return link.named ? std::to_string(link.key) : "none";
}

class KeyedListTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearAll(); }
  void TearDown() override { ClearAll(); }
  static void ClearAll() {
    for (int32_t l = 0; l < kListCount; ++l) {
      ListClearII(l);
      ListClearTT(l);
      ListClearTI(l);
      ListClearIT(l);
    }
  }
};

TEST_F(KeyedListTest, KeysArriveInAnyOrderAndComeOutSorted) {
  for (int32_t key : {7, 3, 5}) ListSet0(key, 0);
  ListRenumber0();
  EXPECT_EQ(Printed([] { ListPrint0(); }),
            "Key: 3, Value: 1\nKey: 5, Value: 2\nKey: 7, Value: 3\n");
  int32_t key = 0;
  EXPECT_TRUE(ListFindByValue0(2, &key));
  EXPECT_EQ(key, 5);
}

TEST_F(KeyedListTest, SetReplacesAddAddsCountUpCounts) {
  ListSetII(1, 4, 10);
  ListSetII(1, 4, 20);
  ListAddII(1, 6, 10);
  ListAddII(1, 6, 5);
  for (int i = 0; i < 3; ++i) ListCountUpII(1, 8);
  int32_t value = 0;
  EXPECT_TRUE(ListFindByKeyII(1, 4, &value));
  EXPECT_EQ(value, 20);
  EXPECT_TRUE(ListFindByKeyII(1, 6, &value));
  EXPECT_EQ(value, 15);
  EXPECT_TRUE(ListFindByKeyII(1, 8, &value));
  EXPECT_EQ(value, 3);
}

TEST_F(KeyedListTest, AnzahlCountsInsertsUntilCountOrRenumber) {
  ListSetII(2, 9, 1);
  ListSetII(2, 9, 2);
  EXPECT_EQ(ReadListHeaderII(2).anzahl, 2);
  EXPECT_EQ(ReadListHeaderII(2).aktuell, 2);
  EXPECT_EQ(ListCountII(2), 1);
  EXPECT_EQ(ReadListHeaderII(2).anzahl, 1);
  ListSetII(2, 9, 3);
  ListRenumberII(2);
  EXPECT_EQ(ReadListHeaderII(2).anzahl, 1);
  EXPECT_EQ(ReadListHeaderII(2).aktuell, 3);
}

TEST_F(KeyedListTest, DeletingTheOnlyEntryEmptiesTheList) {
  ListSetII(3, 1, 1);
  EXPECT_TRUE(ListDeleteII(3, 1));
  ListHeaderII h = ReadListHeaderII(3);
  EXPECT_FALSE(h.Link(ListLink::kAnker).named);
  EXPECT_FALSE(h.Link(ListLink::kEnde).named);
  EXPECT_EQ(h.anzahl, 0);
  EXPECT_EQ(h.aktuell, 0);
  EXPECT_FALSE(ListDeleteII(3, 1));
}

TEST_F(KeyedListTest, DeletingTheLastEntryMakesItsPredecessorEnde) {
  for (int32_t key : {1, 2, 3}) ListSetII(3, key, key);
  EXPECT_TRUE(ListDeleteII(3, 3));
  ListHeaderII h = ReadListHeaderII(3);
  EXPECT_EQ(NamedKey(h.Link(ListLink::kEnde)), "2");
  EXPECT_EQ(h.anzahl, 2);
  ListSetII(3, 5, 5);
  EXPECT_EQ(Printed([] { ListPrintII(3); }),
            "Key: 1, Value: 1\nKey: 2, Value: 2\nKey: 5, Value: 5\n");
}

TEST_F(KeyedListTest, NotFoundGivesTheFixedValuesOfEachKind) {
  int32_t number = 7;
  std::string text = "x";
  EXPECT_FALSE(ListFindByValue0(1, &number));
  EXPECT_EQ(number, -1);
  EXPECT_FALSE(ListFindByKey0(1, &number));
  EXPECT_EQ(number, -1);
  EXPECT_FALSE(ListFindByKeyTT(0, "a", &text));
  EXPECT_EQ(text, "");
  text = "x";
  EXPECT_FALSE(ListFindByValueTT(0, "a", &text));
  EXPECT_EQ(text, "");
  EXPECT_FALSE(ListFindByKeyTI(0, "a", &number));
  EXPECT_EQ(number, 0);
  text = "x";
  EXPECT_FALSE(ListFindByValueTI(0, 1, &text));
  EXPECT_EQ(text, "");
  text = "x";
  EXPECT_FALSE(ListFindByKeyIT(0, 1, &text));
  EXPECT_EQ(text, "");
  number = 7;
  EXPECT_FALSE(ListFindByValueIT(0, "a", &number));
  EXPECT_EQ(number, 0);
}

TEST_F(KeyedListTest, CountWordsSkipsRunsOfBlanks) {
  ListCountWordsTI(4, " a  b a ");
  EXPECT_EQ(Printed([] { ListPrintTI(4); }),
            "Key: a, Value: 2\nKey: b, Value: 1\n");
  std::string word = "b";
  ListAddWordTI(4, &word);
  EXPECT_EQ(word, "");
  ListAddWordTI(4, &word);  // an empty word counts nothing
  EXPECT_EQ(Printed([] { ListPrintSeparatedTI(4, ';'); }), "a;2\nb;2\n");
  EXPECT_EQ(Printed([] { ListPrintEntrySeparatedTI(4, ListLink::kPos, '='); }),
            "LEER (NIL)\n");
}

TEST_F(KeyedListTest, DumpOfAnEmptyListShowsNoEntryBehindEveryLabel) {
  EXPECT_EQ(Printed([] { ListDumpII(5); }),
            "Nr=5 anzahl=0 aktuell=0 suche=0\n"
            "Anker  LEER (NIL)\n"
            "Ende   LEER (NIL)\n"
            "Akt    LEER (NIL)\n"
            "Pos    LEER (NIL)\n"
            "Hilfe  LEER (NIL)\n"
            "Vorher LEER (NIL)\n"
            "Loesch LEER (NIL)\n");
}

TEST_F(KeyedListTest, DumpShowsTheWalkOfTheLastInsertAndFind) {
  // 10 and 50 bound the list; 30 walks from 10 to 20 (one step), 40 from 10
  // over 20 and 30 (two steps).
  for (int32_t key : {10, 50, 20, 30, 40}) ListSetII(6, key, key / 10);
  int32_t value = 0;
  ListFindByKeyII(6, 30, &value);
  ListSetII(6, 40, 9);  // an existing key between Anker and Ende: walks too
  EXPECT_EQ(Printed([] { ListDumpII(6); }),
            "Nr=6 anzahl=6 aktuell=6 suche=6\n"
            "Anker  Key: 10, Value: 1\n"
            "Ende   Key: 50, Value: 5\n"
            "Akt    Key: 40, Value: 9\n"
            "Pos    Key: 40, Value: 9\n"
            "Hilfe  Key: 50, Value: 5\n"
            "Vorher Key: 20, Value: 2\n"
            "Loesch Key: 30, Value: 3\n");
}

TEST_F(KeyedListTest, ListNumbersOutsideTheRangeMeanListZero) {
  ListSetII(11, 1, 1);
  ListSetII(-1, 2, 2);
  EXPECT_EQ(ListCount0(), 2);
  EXPECT_EQ(Printed([] { ListDumpII(99); }).substr(0, 5), "Nr=0 ");
  ListInsertTT(12, "k", "v");
  std::string value;
  EXPECT_TRUE(ListFindByKeyTT(0, "k", &value));
  EXPECT_EQ(value, "v");
}

TEST_F(KeyedListTest, PrintEntryWithSizeAddsTheEntrySize) {
  ListSetII(1, 5, 7);
  std::string line =
      Printed([] { ListPrintEntryWithSizeII(1, ListLink::kAkt); });
  ASSERT_EQ(line.rfind("Key: 5, Value: 7, size= ", 0), 0u) << line;
  int size = std::stoi(line.substr(24));
  EXPECT_GE(size, 8);  // a key and a value of four bytes each
  EXPECT_EQ(Printed([] { ListPrintEntryWithSizeII(1, ListLink::kPos); }),
            "LEER (NIL), size= " + std::to_string(size) + "\n");
}

TEST_F(KeyedListTest, TextKeysCompareAsUnsignedBytesPrefixFirst) {
  for (const char* key : {"b", "\xe4", "ab", "a", "B", "abc"}) {
    ListInsertTT(1, key, "v");
  }
  EXPECT_EQ(Printed([] { ListPrintTT(1); }),
            "Key: B, Value: v\nKey: a, Value: v\nKey: ab, Value: v\n"
            "Key: abc, Value: v\nKey: b, Value: v\nKey: \xe4, Value: v\n");
}

TEST_F(KeyedListTest, TextsAreCutTo255Characters) {
  std::string long_key(300, 'k');
  std::string long_value(260, 'v');
  ListInsertIT(1, 1, long_value);
  ListInsertTT(1, long_key, long_value);
  std::string text;
  EXPECT_TRUE(ListFindByKeyIT(1, 1, &text));
  EXPECT_EQ(text, std::string(255, 'v'));
  EXPECT_TRUE(ListFindByKeyTT(1, std::string(255, 'k'), &text));
  EXPECT_EQ(text, std::string(255, 'v'));
  int32_t key = 0;
  EXPECT_TRUE(ListFindByValueIT(1, long_value, &key));
  EXPECT_EQ(key, 1);
}

TEST_F(KeyedListTest, TextValuedKindsAlwaysReplace) {
  ListInsertTT(2, "k", "eins");
  ListInsertTT(2, "k", "zwei");
  ListInsertIT(2, 4, "eins");
  ListInsertIT(2, 4, "zwei");
  EXPECT_EQ(Printed([] { ListPrintTT(2); }), "Key: k, Value: zwei\n");
  EXPECT_EQ(Printed([] { ListPrintIT(2); }), "Key: 4, Value: zwei\n");
  EXPECT_EQ(ReadListHeaderIT(2).anzahl, 2);
  EXPECT_EQ(ListCountIT(2), 1);
}

TEST_F(KeyedListTest, ClearKeepsSucheAndEmptiesEverythingElse) {
  int64_t suche = ReadListHeaderII(7).suche;
  for (int32_t key : {1, 9, 5, 7}) ListSetII(7, key, key);  // 7 walks a step
  ListClearII(7);
  ListHeaderII h = ReadListHeaderII(7);
  EXPECT_EQ(h.suche, suche + 1);
  EXPECT_EQ(h.anzahl, 0);
  EXPECT_EQ(h.aktuell, 0);
  for (const auto& link : h.links) EXPECT_FALSE(link.named);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Returns line with each number grouped by "." in threes (1 to 3 digits,
// then groups of exactly 3) replaced by "#".
std::string HeapLineShape(const std::string& line) {
  std::string shape;
  size_t i = 0;
  while (i < line.size()) {
    if (!IsDigit(line[i])) {
      shape.push_back(line[i++]);
      continue;
    }
    size_t end = i;
    while (end < line.size() && (IsDigit(line[end]) || line[end] == '.')) ++end;
    std::string number = line.substr(i, end - i);
    std::vector<size_t> group_sizes;
    size_t group = 0;
    for (char c : number + ".") {
      if (c == '.') {
        group_sizes.push_back(group);
        group = 0;
      } else {
        ++group;
      }
    }
    bool grouped = group_sizes[0] >= 1 && group_sizes[0] <= 3;
    for (size_t g = 1; g < group_sizes.size(); ++g) {
      grouped = grouped && group_sizes[g] == 3;
    }
    shape += grouped ? "#" : number;
    i = end;
  }
  return shape;
}

TEST_F(KeyedListTest, HeapReportPrintsThreeGroupedLines) {
  for (int32_t key = 0; key < 5000; ++key) ListSetII(1, key, key);
  std::string report = Printed([] { PrintHeapReport(); });
  std::vector<std::string> lines;
  for (size_t start = 0; start < report.size();) {
    size_t end = report.find('\n', start);
    lines.push_back(report.substr(start, end - start));
    start = end + 1;
  }
  ASSERT_EQ(lines.size(), 3u) << report;
  // Numbers grouped by "." in threes; the first two lines show two of them.
  EXPECT_EQ(HeapLineShape(lines[0]), "HEAP    Speicher max:  #/#") << lines[0];
  EXPECT_EQ(HeapLineShape(lines[1]), "HEAP    Speicher frei: #/#") << lines[1];
  EXPECT_EQ(HeapLineShape(lines[2]), "HEAP    Speicher voll: #") << lines[2];
}

TEST_F(KeyedListTest, ListZeroOfEveryKindIsClearedAtTheEnd) {
  ListSet0(1, 1);
  ListSetII(1, 1, 1);
  ListInsertTT(0, "a", "b");
  ListCountUpTI(0, "a");
  ListInsertIT(0, 1, "b");
  ListClearAllZero();
  EXPECT_EQ(ListCount0(), 0);
  EXPECT_EQ(ListCountTT(0), 0);
  EXPECT_EQ(ListCountTI(0), 0);
  EXPECT_EQ(ListCountIT(0), 0);
  EXPECT_EQ(ListCountII(1), 1);
}

// A deleted entry may still be named by Akt (find leaves it there), by
// Loesch, and by Pos or Hilfe from an earlier insert walk. Those links must
// let go of it, so that a later dump shows none instead of reading an entry
// that is gone (the tests also run under AddressSanitizer).
TEST_F(KeyedListTest, DeleteLeavesNoLinkOnTheFreedEntry) {
  for (int32_t key : {10, 40, 20, 30}) ListSetII(8, key, key);
  ListHeaderII h = ReadListHeaderII(8);
  ASSERT_EQ(NamedKey(h.Link(ListLink::kPos)), "20");
  ASSERT_EQ(NamedKey(h.Link(ListLink::kHilfe)), "40");

  ASSERT_TRUE(ListDeleteII(8, 20));  // Pos, Akt and Loesch named 20
  std::string dump = Printed([] { ListDumpII(8); });
  EXPECT_EQ(dump,
            "Nr=8 anzahl=3 aktuell=4 suche=1\n"
            "Anker  Key: 10, Value: 10\n"
            "Ende   Key: 40, Value: 40\n"
            "Akt    LEER (NIL)\n"
            "Pos    LEER (NIL)\n"
            "Hilfe  Key: 40, Value: 40\n"
            "Vorher Key: 10, Value: 10\n"
            "Loesch LEER (NIL)\n");

  ASSERT_TRUE(ListDeleteII(8, 40));  // Hilfe and Ende named 40
  h = ReadListHeaderII(8);
  EXPECT_FALSE(h.Link(ListLink::kHilfe).named);
  EXPECT_EQ(NamedKey(h.Link(ListLink::kEnde)), "30");

  // The freed places are used again; the links stay as the walk left them.
  ListSetII(8, 20, 2);
  ListSetII(8, 25, 3);
  EXPECT_EQ(Printed([] { ListDumpII(8); }),
            "Nr=8 anzahl=4 aktuell=6 suche=2\n"
            "Anker  Key: 10, Value: 10\n"
            "Ende   Key: 30, Value: 30\n"
            "Akt    Key: 25, Value: 3\n"
            "Pos    Key: 20, Value: 2\n"
            "Hilfe  Key: 30, Value: 30\n"
            "Vorher Key: 30, Value: 30\n"
            "Loesch LEER (NIL)\n");
}

// ---------------------------------------------------------------------------
// The plain chain walk, as a reference: every operation walks from Anker
// exactly as the list's algorithm describes it, with the same mend for
// freed entries. The store must give the same results on any sequence.

template <typename K, typename V>
struct RefEntry {
  K key;
  V value;
  RefEntry* next;
};

template <typename K, typename V>
struct RefList {
  using E = RefEntry<K, V>;
  int32_t anzahl = 0;
  int32_t aktuell = 0;
  int64_t suche = 0;
  E* anker = nullptr;
  E* ende = nullptr;
  E* akt = nullptr;
  E* pos = nullptr;
  E* hilfe = nullptr;
  E* vorher = nullptr;
  E* loesch = nullptr;

  RefList() = default;
  RefList(const RefList&) = delete;
  RefList& operator=(const RefList&) = delete;
  ~RefList() { Clear(); }

  E* const* Links() const { return &anker; }

  static void Update(E* e, const V& value, bool replace) {
    if constexpr (std::is_same_v<V, int32_t>) {
      if (replace) e->value = 0;
      e->value = static_cast<int32_t>(static_cast<uint32_t>(e->value) +
                                      static_cast<uint32_t>(value));
    } else {
      e->value = value;
    }
  }

  void Insert(const K& key, const V& value, bool replace) {
    ++anzahl;
    ++aktuell;
    E* e = new E{key, value, nullptr};
    akt = e;
    if (anker == nullptr) {
      anker = ende = e;
      return;
    }
    if (key <= anker->key) {
      if (key == anker->key) {
        Update(anker, value, replace);
        akt = anker;
        delete e;
      } else {
        e->next = anker;
        anker = e;
      }
      return;
    }
    if (key >= ende->key) {
      if (key == ende->key) {
        Update(ende, value, replace);
        akt = ende;
        delete e;
      } else {
        ende->next = e;
        ende = e;
      }
      return;
    }
    pos = anker;
    hilfe = pos->next;
    while (hilfe->key <= key) {
      ++suche;
      pos = pos->next;
      hilfe = pos->next;
    }
    if (key == pos->key) {
      Update(pos, value, replace);
      akt = pos;
      delete e;
    } else {
      e->next = hilfe;
      pos->next = e;
    }
  }

  E* FindByKey(const K& key) {
    akt = anker;
    vorher = loesch = nullptr;
    while (akt != nullptr && !(akt->key == key)) {
      vorher = akt;
      akt = akt->next;
    }
    loesch = akt;
    return akt;
  }

  E* FindByValue(const V& value) {
    akt = anker;
    vorher = loesch = nullptr;
    while (akt != nullptr && !(akt->value == value)) akt = akt->next;
    return akt;
  }

  bool Delete(const K& key) {
    if (FindByKey(key) == nullptr) return false;
    if (loesch == anker) {
      if (anker->next != nullptr) anker = anker->next;
    } else if (loesch == ende) {
      vorher->next = nullptr;
      ende = vorher;
    } else {
      vorher->next = loesch->next;
    }
    if (loesch == anker) {
      Clear();
      return true;
    }
    E* gone = loesch;
    delete gone;
    --anzahl;
    for (E** link : {&anker, &ende, &akt, &pos, &hilfe, &vorher, &loesch}) {
      if (*link == gone) *link = nullptr;
    }
    return true;
  }

  int32_t Count() {
    int32_t n = 0;
    for (akt = anker; akt != nullptr; akt = akt->next) ++n;
    anzahl = n;
    return n;
  }

  void Renumber() {
    int32_t n = 0;
    for (akt = anker; akt != nullptr; akt = akt->next) akt->value = ++n;
    anzahl = n;
  }

  void Clear() {
    while (anker != nullptr) {
      E* next = anker->next;
      delete anker;
      anker = next;
    }
    anker = ende = akt = pos = hilfe = vorher = loesch = nullptr;
    anzahl = aktuell = 0;
  }

  std::string Print() {
    std::string out;
    for (akt = anker; akt != nullptr; akt = akt->next) {
      out += "Key: " + Text(akt->key) + ", Value: " + Text(akt->value) + "\n";
    }
    return out;
  }

  static std::string Text(int32_t n) { return std::to_string(n); }
  static std::string Text(const std::string& s) { return s; }
};

// The four kinds behind one face, so that one driver tries them all.
struct KindII {
  using K = int32_t;
  using V = int32_t;
  static constexpr bool kReplaceChoice = true;
  static constexpr bool kRenumber = true;
  static V MissingValue() { return -1; }
  static K Key(uint32_t n) { return static_cast<K>(n) - 50; }
  static V Value(uint32_t n) { return static_cast<V>(n % 23) - 3; }
  static void Insert(int32_t l, const K& k, const V& v, bool replace) {
    ListInsertII(l, k, v, replace);
  }
  static bool FindByKey(int32_t l, const K& k, V* v) {
    return ListFindByKeyII(l, k, v);
  }
  static bool FindByValue(int32_t l, const V& v, K* k) {
    return ListFindByValueII(l, v, k);
  }
  static bool Delete(int32_t l, const K& k) { return ListDeleteII(l, k); }
  static int32_t Count(int32_t l) { return ListCountII(l); }
  static void Renumber(int32_t l) { ListRenumberII(l); }
  static void Clear(int32_t l) { ListClearII(l); }
  static void Print(int32_t l) { ListPrintII(l); }
  static ListHeaderView<K, V> Header(int32_t l) { return ReadListHeaderII(l); }
};

// Text keys of varying length, so that prefixes and high bytes meet.
std::string TextOf(uint32_t n) {
  static const char kLetters[] = {'a', 'B', '\xfc', ' '};
  std::string text;
  do {
    text.push_back(kLetters[n % 4]);
    n /= 4;
  } while (n != 0);
  return text;
}

struct KindTT {
  using K = std::string;
  using V = std::string;
  static constexpr bool kReplaceChoice = false;
  static constexpr bool kRenumber = false;
  static V MissingValue() { return ""; }
  static K Key(uint32_t n) { return TextOf(n); }
  static V Value(uint32_t n) { return TextOf(n % 11); }
  static void Insert(int32_t l, const K& k, const V& v, bool) {
    ListInsertTT(l, k, v);
  }
  static bool FindByKey(int32_t l, const K& k, V* v) {
    return ListFindByKeyTT(l, k, v);
  }
  static bool FindByValue(int32_t l, const V& v, K* k) {
    return ListFindByValueTT(l, v, k);
  }
  static bool Delete(int32_t l, const K& k) { return ListDeleteTT(l, k); }
  static int32_t Count(int32_t l) { return ListCountTT(l); }
  static void Renumber(int32_t) {}
  static void Clear(int32_t l) { ListClearTT(l); }
  static void Print(int32_t l) { ListPrintTT(l); }
  static ListHeaderView<K, V> Header(int32_t l) { return ReadListHeaderTT(l); }
};

struct KindTI {
  using K = std::string;
  using V = int32_t;
  static constexpr bool kReplaceChoice = true;
  static constexpr bool kRenumber = true;
  static V MissingValue() { return 0; }
  static K Key(uint32_t n) { return TextOf(n); }
  static V Value(uint32_t n) { return static_cast<V>(n % 17) - 2; }
  static void Insert(int32_t l, const K& k, const V& v, bool replace) {
    ListInsertTI(l, k, v, replace);
  }
  static bool FindByKey(int32_t l, const K& k, V* v) {
    return ListFindByKeyTI(l, k, v);
  }
  static bool FindByValue(int32_t l, const V& v, K* k) {
    return ListFindByValueTI(l, v, k);
  }
  static bool Delete(int32_t l, const K& k) { return ListDeleteTI(l, k); }
  static int32_t Count(int32_t l) { return ListCountTI(l); }
  static void Renumber(int32_t l) { ListRenumberTI(l); }
  static void Clear(int32_t l) { ListClearTI(l); }
  static void Print(int32_t l) { ListPrintTI(l); }
  static ListHeaderView<K, V> Header(int32_t l) { return ReadListHeaderTI(l); }
};

struct KindIT {
  using K = int32_t;
  using V = std::string;
  static constexpr bool kReplaceChoice = false;
  static constexpr bool kRenumber = false;
  static V MissingValue() { return ""; }
  static K Key(uint32_t n) { return static_cast<K>(n) * 3 - 40; }
  static V Value(uint32_t n) { return TextOf(n % 13); }
  static void Insert(int32_t l, const K& k, const V& v, bool) {
    ListInsertIT(l, k, v);
  }
  static bool FindByKey(int32_t l, const K& k, V* v) {
    return ListFindByKeyIT(l, k, v);
  }
  static bool FindByValue(int32_t l, const V& v, K* k) {
    return ListFindByValueIT(l, v, k);
  }
  static bool Delete(int32_t l, const K& k) { return ListDeleteIT(l, k); }
  static int32_t Count(int32_t l) { return ListCountIT(l); }
  static void Renumber(int32_t) {}
  static void Clear(int32_t l) { ListClearIT(l); }
  static void Print(int32_t l) { ListPrintIT(l); }
  static ListHeaderView<K, V> Header(int32_t l) { return ReadListHeaderIT(l); }
};

// What a find reports when nothing is found, per kind.
template <typename Kind>
typename Kind::K MissingKey() {
  if constexpr (std::is_same_v<Kind, KindII>) {
    return -1;
  } else if constexpr (std::is_same_v<Kind, KindIT>) {
    return 0;
  } else {
    return "";
  }
}

template <typename Kind>
void ExpectSameHeader(const RefList<typename Kind::K, typename Kind::V>& ref,
                      int32_t list, const std::string& step) {
  static const char* const kNames[kListLinkCount] = {
      "Anker", "Ende", "Akt", "Pos", "Hilfe", "Vorher", "Loesch"};
  auto h = Kind::Header(list);
  ASSERT_EQ(h.anzahl, ref.anzahl) << step;
  ASSERT_EQ(h.aktuell, ref.aktuell) << step;
  ASSERT_EQ(h.suche, ref.suche) << step;
  auto* const* links = ref.Links();
  for (int i = 0; i < kListLinkCount; ++i) {
    const auto* e = links[i];
    ASSERT_EQ(h.links[i].named, e != nullptr) << kNames[i] << " " << step;
    if (e == nullptr) continue;
    ASSERT_EQ(h.links[i].key, e->key) << kNames[i] << " " << step;
    ASSERT_EQ(h.links[i].value, e->value) << kNames[i] << " " << step;
  }
}

struct RandomRun {
  uint32_t seed;
  uint32_t key_range;  // keys drawn from this many
  int steps;
  uint32_t clears;  // clears per thousand operations
};

// Drives the store and the reference through the same random operations
// and compares every result and the whole header after each one.
template <typename Kind>
void CompareWithPlainWalk(const RandomRun& run, int32_t list) {
  using K = typename Kind::K;
  using V = typename Kind::V;
  std::mt19937 rng(run.seed);
  auto draw = [&rng](uint32_t n) {
    return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng);
  };
  RefList<K, V> ref;
  Kind::Clear(list);
  // Suche is never reset, so the reference starts where the list stands.
  ref.suche = Kind::Header(list).suche;
  for (int step = 0; step < run.steps; ++step) {
    uint32_t op = draw(1000);
    if (op < run.clears) {
      Kind::Clear(list);
      ref.Clear();
      ExpectSameHeader<Kind>(ref, list, "clear");
      continue;
    }
    op = draw(100);
    std::string what = "seed " + std::to_string(run.seed) + " step " +
                       std::to_string(step) + " op " + std::to_string(op);
    if (op < 40) {
      K key = Kind::Key(draw(run.key_range));
      V value = Kind::Value(draw(1000));
      bool replace = Kind::kReplaceChoice ? draw(2) == 0 : true;
      Kind::Insert(list, key, value, replace);
      ref.Insert(key, value, replace);
    } else if (op < 45) {
      // A run of inserts with nothing else between them, often into an
      // empty list, as the reader fills list 0.
      if (run.clears > 0 && draw(2) == 0) {
        Kind::Clear(list);
        ref.Clear();
      }
      uint32_t inserts = draw(std::min(3 * run.key_range, 200u)) + 1;
      for (uint32_t n = 0; n < inserts; ++n) {
        K key = Kind::Key(draw(run.key_range));
        V value = Kind::Value(draw(1000));
        bool replace = Kind::kReplaceChoice ? draw(2) == 0 : true;
        Kind::Insert(list, key, value, replace);
        ref.Insert(key, value, replace);
      }
    } else if (op < 57) {
      K key = Kind::Key(draw(run.key_range));
      ASSERT_EQ(Kind::Delete(list, key), ref.Delete(key)) << what;
    } else if (op < 67) {
      K key = Kind::Key(draw(run.key_range));
      V got{};
      auto* e = ref.FindByKey(key);
      ASSERT_EQ(Kind::FindByKey(list, key, &got), e != nullptr) << what;
      ASSERT_EQ(got, e != nullptr ? e->value : Kind::MissingValue()) << what;
    } else if (op < 77) {
      V value = Kind::Value(draw(1000));
      if constexpr (std::is_same_v<V, int32_t>) {
        value = static_cast<V>(draw(run.key_range + 3)) - 1;
      }
      K got{};
      auto* e = ref.FindByValue(value);
      ASSERT_EQ(Kind::FindByValue(list, value, &got), e != nullptr) << what;
      ASSERT_EQ(got, e != nullptr ? e->key : MissingKey<Kind>()) << what;
    } else if (op < 84 && Kind::kRenumber) {
      Kind::Renumber(list);
      ref.Renumber();
    } else if (op < 88 && Kind::kRenumber) {
      // Ask for values in ascending order, as the reader does, from a
      // random start to a random end (possibly past the last entry), then
      // a few values at random.
      if constexpr (std::is_same_v<V, int32_t>) {
        int32_t from = static_cast<int32_t>(draw(run.key_range + 2)) - 1;
        int32_t to =
            from + static_cast<int32_t>(draw(std::min(run.key_range, 300u)));
        for (int32_t i = 0; i <= to - from + 10; ++i) {
          int32_t v = from + i;
          if (v > to) v = static_cast<int32_t>(draw(run.key_range + 3)) - 1;
          K got{};
          auto* e = ref.FindByValue(v);
          ASSERT_EQ(Kind::FindByValue(list, v, &got), e != nullptr) << what;
          ASSERT_EQ(got, e != nullptr ? e->key : MissingKey<Kind>()) << what;
          ExpectSameHeader<Kind>(ref, list,
                                 what + " value " + std::to_string(v));
        }
      }
    } else if (op < 93) {
      ASSERT_EQ(Kind::Count(list), ref.Count()) << what;
    } else {
      ASSERT_EQ(Printed([list] { Kind::Print(list); }), ref.Print()) << what;
    }
    ExpectSameHeader<Kind>(ref, list, what);
    if (::testing::Test::HasFatalFailure()) return;
  }
  ASSERT_EQ(Printed([list] { Kind::Print(list); }), ref.Print());
  Kind::Clear(list);
}

constexpr RandomRun kRandomRuns[] = {
    {1, 8, 3000, 20},    // few keys: many updates of Anker, Ende and Pos
    {2, 40, 4000, 10},   //
    {3, 300, 6000, 2},   // several index leaves
    {4, 8000, 5000, 0},  // several index levels, nodes thinned by deletes
};

TEST_F(KeyedListTest, IntegerListsMatchThePlainWalk) {
  for (const RandomRun& run : kRandomRuns) {
    CompareWithPlainWalk<KindII>(run, 9);
    if (HasFatalFailure()) return;
  }
}

TEST_F(KeyedListTest, TextIntegerListsMatchThePlainWalk) {
  for (const RandomRun& run : kRandomRuns) {
    CompareWithPlainWalk<KindTI>(run, 9);
    if (HasFatalFailure()) return;
  }
}

TEST_F(KeyedListTest, TextListsMatchThePlainWalk) {
  for (const RandomRun& run : kRandomRuns) {
    CompareWithPlainWalk<KindTT>(run, 9);
    if (HasFatalFailure()) return;
  }
}

TEST_F(KeyedListTest, IntegerTextListsMatchThePlainWalk) {
  for (const RandomRun& run : kRandomRuns) {
    CompareWithPlainWalk<KindIT>(run, 9);
    if (HasFatalFailure()) return;
  }
}

// The reader's use at a size where the index has several levels: distinct
// keys in random order, renumber, then every position in turn, against the
// plain walk; then keys in ascending and in descending order, which the
// walk places without a step.
TEST_F(KeyedListTest, FileOrderMatchesThePlainWalkAtSize) {
  struct Case {
    const char* name;
    int order;  // 0 random, 1 ascending, -1 descending, 2 random with repeats
  };
  for (Case c : {Case{"random", 0}, Case{"ascending", 1},
                 Case{"descending", -1}, Case{"repeats", 2}}) {
    SCOPED_TRACE(c.name);
    constexpr int32_t kKeys = 20000;
    std::vector<int32_t> keys(kKeys);
    for (int32_t i = 0; i < kKeys; ++i) {
      keys[i] = c.order < 0 ? 3 * (kKeys - i) : 3 * i;
      if (c.order == 2) keys[i] = 3 * (i % 4000) - 6000;
    }
    if (c.order != 1 && c.order != -1) {
      std::shuffle(keys.begin(), keys.end(), std::mt19937(7));
    }
    RefList<int32_t, int32_t> ref;
    ListClear0();
    ref.suche = ReadListHeaderII(0).suche;
    for (int32_t i = 0; i < kKeys; ++i) {
      bool replace = c.order != 2 || i % 3 != 0;  // set, now and then add
      ListInsertII(0, keys[i], i + 1, replace);
      ref.Insert(keys[i], i + 1, replace);
    }
    ExpectSameHeader<KindII>(ref, 0, "after set");
    ListRenumber0();
    ref.Renumber();
    auto* expected = ref.anker;
    int32_t entries = ref.anzahl;
    for (int32_t v = 1; v <= entries + 1; ++v) {
      int32_t key = 0;
      bool found = ListFindByValue0(v, &key);
      ASSERT_EQ(found, expected != nullptr) << v;
      ASSERT_EQ(key, expected != nullptr ? expected->key : -1) << v;
      if (expected != nullptr) expected = expected->next;
    }
    ref.FindByValue(entries + 1);
    ExpectSameHeader<KindII>(ref, 0, "after finds");
    ASSERT_EQ(Printed([] { ListPrint0(); }), ref.Print());
    ListClear0();
  }
}

// Fills a list of text keys (small index nodes) until its index has several
// levels, thins it out in random order until whole nodes have gone, fills
// the gaps again, then empties it: all against the plain walk.
TEST_F(KeyedListTest, ThinningAndRefillingMatchesThePlainWalk) {
  constexpr uint32_t kKeys = 4000;
  constexpr uint32_t kKept = 40;
  std::vector<uint32_t> order(kKeys);
  for (uint32_t i = 0; i < kKeys; ++i) order[i] = i;
  std::mt19937 rng(11);
  RefList<std::string, int32_t> ref;
  ListClearTI(3);
  ref.suche = ReadListHeaderTI(3).suche;
  auto fill = [&](uint32_t from, uint32_t to) {
    for (uint32_t n = from; n < to; ++n) {
      std::string key = TextOf(order[n]);
      ListSetTI(3, key, static_cast<int32_t>(n));
      ref.Insert(key, static_cast<int32_t>(n), true);
    }
  };
  auto remove = [&](uint32_t from, uint32_t to) {
    for (uint32_t n = from; n < to; ++n) {
      std::string key = TextOf(order[n]);
      ASSERT_TRUE(ListDeleteTI(3, key)) << n;
      ASSERT_TRUE(ref.Delete(key)) << n;
      if (n % 97 == 0) ExpectSameHeader<KindTI>(ref, 3, std::to_string(n));
      ASSERT_FALSE(HasFatalFailure());
    }
  };
  std::shuffle(order.begin(), order.end(), rng);
  fill(0, kKeys);
  ExpectSameHeader<KindTI>(ref, 3, "filled");
  // Keep the smallest keys, so that the nodes of the upper range all go.
  std::sort(order.begin(), order.end(),
            [](uint32_t a, uint32_t b) { return TextOf(a) < TextOf(b); });
  std::shuffle(order.begin() + kKept, order.end(), rng);
  std::rotate(order.begin(), order.begin() + kKept, order.end());
  remove(0, kKeys - kKept);
  ASSERT_EQ(Printed([] { ListPrintTI(3); }), ref.Print());
  fill(0, kKeys - kKept);
  ExpectSameHeader<KindTI>(ref, 3, "filled again");
  ListRenumberTI(3);
  ref.Renumber();
  ASSERT_EQ(Printed([] { ListPrintTI(3); }), ref.Print());
  std::shuffle(order.begin(), order.end(), rng);
  remove(0, kKeys);
  EXPECT_EQ(ListCountTI(3), 0);
  ExpectSameHeader<KindTI>(ref, 3, "emptied");
}

}  // namespace
}  // namespace korv
