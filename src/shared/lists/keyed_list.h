// Keyed list store: eleven sorted lists of keyed entries for each of four key
// and value kinds.
#ifndef KORV_SHARED_LISTS_KEYED_LIST_H_
#define KORV_SHARED_LISTS_KEYED_LIST_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace korv {

// Kinds are named by key and value type: I = 32-bit signed integer, T = text
// of at most 255 characters (longer texts are cut to 255 characters).
// Every operation takes the list number first; a number outside 0..10 means
// list 0. Entries stay in strictly ascending key order; integer keys compare
// as signed numbers, text keys byte by byte as unsigned values.

// Number of lists of each kind.
inline constexpr int32_t kListCount = 11;

// The seven links of a list header, in the order the dump shows them.
enum class ListLink : uint8_t {
  kAnker,   // first entry
  kEnde,    // last entry
  kAkt,     // entry just inserted or updated; walking cursor of the walks
  kPos,     // walk position of insert
  kHilfe,   // entry after kPos during the insert walk
  kVorher,  // after find by key: the entry before the one found
  kLoesch,  // after find by key: the entry found, which delete removes
};
inline constexpr int kListLinkCount = 7;

// What one header link names: no entry, or the entry with this key and value.
template <typename Key, typename Value>
struct ListLinkView {
  bool named = false;
  Key key{};
  Value value{};
};

// A copy of a list header. `suche` counts the insert walk's steps over the
// whole run and is kept in 64 bits: at a million keys it passes 2^31.
template <typename Key, typename Value>
struct ListHeaderView {
  int32_t anzahl = 0;
  int32_t aktuell = 0;
  int64_t suche = 0;
  ListLinkView<Key, Value> links[kListLinkCount];

  const ListLinkView<Key, Value>& Link(ListLink which) const {
    return links[static_cast<int>(which)];
  }
};

using ListHeaderII = ListHeaderView<int32_t, int32_t>;
using ListHeaderTT = ListHeaderView<std::string, std::string>;
using ListHeaderTI = ListHeaderView<std::string, int32_t>;
using ListHeaderIT = ListHeaderView<int32_t, std::string>;

// ---- Kind II: integer key, integer value ----

// Inserts key in order; an existing key gets value added to its value, or
// (replace on) value instead. `anzahl` and `aktuell` rise by one either way.
void ListInsertII(int32_t list, int32_t key, int32_t value, bool replace);
// Inserts with replace on: an existing key gets the new value.
void ListSetII(int32_t list, int32_t key, int32_t value);
// Inserts with replace off: an existing key gets value added.
void ListAddII(int32_t list, int32_t key, int32_t value);
// Adds 1 to the value of key (a new key starts at 1).
void ListCountUpII(int32_t list, int32_t key);
// Finds key; *value is its value, -1 when not found. Sets Vorher and Loesch.
bool ListFindByKeyII(int32_t list, int32_t key, int32_t* value);
// Finds the first entry in key order with this value; *key is its key, -1
// when not found.
bool ListFindByValueII(int32_t list, int32_t value, int32_t* key);
// Removes the entry with key; false (and no change) when there is none.
bool ListDeleteII(int32_t list, int32_t key);
// Counts the entries, stores the number in `anzahl` and returns it.
int32_t ListCountII(int32_t list);
// Sets the values to 1, 2, 3 ... in key order; `anzahl` becomes the number of
// entries.
void ListRenumberII(int32_t list);
// Frees every entry; all links become none, `anzahl` and `aktuell` 0.
void ListClearII(int32_t list);
// Prints "Key: k, Value: v" for the entry a link names, "LEER (NIL)" for none.
void ListPrintEntryII(int32_t list, ListLink link);
// Prints the entry like ListPrintEntryII followed by ", size= " and the
// storage size of one entry in bytes.
void ListPrintEntryWithSizeII(int32_t list, ListLink link);
// Prints every entry in key order, one line each.
void ListPrintII(int32_t list);
// Prints the header counters and what each of the seven links names.
void ListDumpII(int32_t list);
// Returns a copy of the header, for tracing and tests.
ListHeaderII ReadListHeaderII(int32_t list);

// ---- Kind II list 0 shortcuts (the reader orders its data files here) ----

void ListSet0(int32_t key, int32_t value);
void ListCountUp0(int32_t key);
void ListAdd0(int32_t key, int32_t value);
void ListPrint0();
void ListClear0();
int32_t ListCount0();
bool ListFindByKey0(int32_t key, int32_t* value);
bool ListFindByValue0(int32_t value, int32_t* key);
bool ListDelete0(int32_t key);
void ListRenumber0();
// Do nothing: tracing hooks whose callers only need them to exist.
void ListTrace0(uint8_t level);
void ListTraceText0(std::string_view text);
void ListTraceLabel0(std::string_view label);

// ---- Kind TT: text key, text value (insert always replaces) ----

void ListInsertTT(int32_t list, std::string_view key, std::string_view value);
void ListPrintEntryTT(int32_t list, ListLink link);
void ListPrintTT(int32_t list);
void ListClearTT(int32_t list);
int32_t ListCountTT(int32_t list);
// *value is the value text, empty when not found.
bool ListFindByKeyTT(int32_t list, std::string_view key, std::string* value);
// *key is the key text of the first entry with this value, empty when none.
bool ListFindByValueTT(int32_t list, std::string_view value, std::string* key);
bool ListDeleteTT(int32_t list, std::string_view key);
ListHeaderTT ReadListHeaderTT(int32_t list);

// ---- Kind TI: text key, integer value ----

void ListInsertTI(int32_t list, std::string_view key, int32_t value,
                  bool replace);
void ListSetTI(int32_t list, std::string_view key, int32_t value);
void ListAddTI(int32_t list, std::string_view key, int32_t value);
void ListCountUpTI(int32_t list, std::string_view key);
void ListPrintEntryTI(int32_t list, ListLink link);
// Prints key, separator and value (no "Key: "), "LEER (NIL)" for none.
void ListPrintEntrySeparatedTI(int32_t list, ListLink link, char separator);
void ListPrintTI(int32_t list);
void ListPrintSeparatedTI(int32_t list, char separator);
// Counts up a non-empty word, then empties it.
void ListAddWordTI(int32_t list, std::string* word);
// Splits text into words at blanks and counts up each non-empty word.
void ListCountWordsTI(int32_t list, std::string_view text);
void ListClearTI(int32_t list);
int32_t ListCountTI(int32_t list);
// *value is the value, 0 when not found.
bool ListFindByKeyTI(int32_t list, std::string_view key, int32_t* value);
// *key is the key text of the first entry with this value, empty when none.
bool ListFindByValueTI(int32_t list, int32_t value, std::string* key);
bool ListDeleteTI(int32_t list, std::string_view key);
void ListRenumberTI(int32_t list);
ListHeaderTI ReadListHeaderTI(int32_t list);

// ---- Kind IT: integer key, text value (insert always replaces) ----

void ListInsertIT(int32_t list, int32_t key, std::string_view value);
void ListPrintEntryIT(int32_t list, ListLink link);
void ListPrintIT(int32_t list);
void ListClearIT(int32_t list);
int32_t ListCountIT(int32_t list);
// *value is the value text, empty when not found.
bool ListFindByKeyIT(int32_t list, int32_t key, std::string* value);
// Compares value texts exactly; *key is the key found, 0 when none.
bool ListFindByValueIT(int32_t list, std::string_view value, int32_t* key);
bool ListDeleteIT(int32_t list, int32_t key);
ListHeaderIT ReadListHeaderIT(int32_t list);

// ---- Whole store ----

// Clears list 0 of every kind (the programs do it when they end).
void ListClearAllZero();

// Prints three lines about the program's heap: largest use and size, free
// and size now, use now.
void PrintHeapReport();

}  // namespace korv

#endif  // KORV_SHARED_LISTS_KEYED_LIST_H_
