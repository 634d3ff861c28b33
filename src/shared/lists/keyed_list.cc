#include "shared/lists/keyed_list.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <string>
#include <type_traits>
#include <vector>

#include "shared/format/format.h"
#include "shared/platform/console.h"
#include "shared/platform/heap.h"

namespace korv {
namespace {

// ---------------------------------------------------------------------------
// Storage
//
// The entries of a list live in the leaves of a B+ tree, in key order; the
// leaves are chained both ways, so the chain from Anker to Ende is the walk
// from the first leaf to the last. Every inner node knows how many entries
// lie below each child, so the rank of an entry, and the entry of a rank,
// take logarithmic time: insert finds the place where the walk from Anker
// would stop, and the number of steps that walk takes, without taking them.
// That keeps filling a list with keys in random order from becoming
// quadratic, and keeps ten million entries of list 0 at 8 to 13 bytes each.
// Anker and Ende are the first and the last entry; the other links of a
// header name their entry by its key.
//
// Nodes are not merged when they thin out; an emptied node is removed, so
// the height stays logarithmic in the largest size the list had.

constexpr int kInnerCap = 64;
constexpr int kMaxHeight = 32;

// Entries per leaf: many for numbers, where moving them is cheap and fewer
// leaves mean fewer cache misses on the way down; few for texts.
template <typename K, typename V>
constexpr int kLeafCap =
    std::is_trivially_copyable_v<K>&& std::is_trivially_copyable_v<V> ? 256
                                                                      : 32;

template <typename K, typename V>
struct Leaf {
  int32_t n = 0;
  Leaf* prev = nullptr;
  Leaf* next = nullptr;
  K keys[kLeafCap<K, V>];
  V values[kLeafCap<K, V>];
};

// keys[i] is a lower bound of every key below child i and lies above every
// key below child i - 1; keys[0] is never consulted.
template <typename K>
struct Inner {
  int32_t n = 0;
  K keys[kInnerCap];
  void* child[kInnerCap];
  uint32_t size[kInnerCap];
};

template <typename K, typename V>
void FreeNode(void* node, int height) {
  if (height == 0) {
    delete static_cast<Leaf<K, V>*>(node);
    return;
  }
  auto* in = static_cast<Inner<K>*>(node);
  for (int i = 0; i < in->n; ++i) FreeNode<K, V>(in->child[i], height - 1);
  delete in;
}

template <typename K, typename V>
struct Index {
  void* root = nullptr;  // a Leaf when height is 0
  int height = 0;        // inner levels above the leaves
  uint32_t total = 0;
  Leaf<K, V>* first = nullptr;
  Leaf<K, V>* last = nullptr;

  Index() = default;
  Index(const Index&) = delete;
  Index& operator=(const Index&) = delete;
  ~Index() {
    if (root != nullptr) FreeNode<K, V>(root, height);
  }
};

template <typename K, typename V>
void IndexClear(Index<K, V>* ix) {
  if (ix->root != nullptr) FreeNode<K, V>(ix->root, ix->height);
  ix->root = nullptr;
  ix->height = 0;
  ix->total = 0;
  ix->first = nullptr;
  ix->last = nullptr;
}

// One entry: a leaf and a place in it; no entry when leaf is null.
template <typename K, typename V>
struct Place {
  Leaf<K, V>* leaf = nullptr;
  int at = 0;
};

template <typename K, typename V>
const K& KeyAt(Place<K, V> p) {
  return p.leaf->keys[p.at];
}

template <typename K, typename V>
V& ValueAt(Place<K, V> p) {
  return p.leaf->values[p.at];
}

template <typename K, typename V>
Place<K, V> First(const Index<K, V>& ix) {
  return {ix.first, 0};
}

template <typename K, typename V>
Place<K, V> Last(const Index<K, V>& ix) {
  return ix.last == nullptr ? Place<K, V>{}
                            : Place<K, V>{ix.last, ix.last->n - 1};
}

template <typename K, typename V>
Place<K, V> Next(Place<K, V> p) {
  if (p.at + 1 < p.leaf->n) return {p.leaf, p.at + 1};
  return {p.leaf->next, 0};
}

template <typename K, typename V>
Place<K, V> Previous(Place<K, V> p) {
  if (p.at > 0) return {p.leaf, p.at - 1};
  if (p.leaf->prev == nullptr) return {};
  return {p.leaf->prev, p.leaf->prev->n - 1};
}

// The way down to the leaf whose key range holds a key.
template <typename K, typename V>
struct Path {
  Inner<K>* node[kMaxHeight];
  int slot[kMaxHeight];
  Leaf<K, V>* leaf;
  uint32_t before;  // entries in the leaves left of leaf
};

template <typename K>
int Route(const Inner<K>* in, const K& key) {
  return static_cast<int>(
             std::upper_bound(in->keys + 1, in->keys + in->n, key) - in->keys) -
         1;
}

// Asks for the cache lines of a node all at once: a search inside a node
// that is not in the cache then waits for memory about once instead of once
// per probe, which is what keeps large lists fast.
void Prefetch(const void* node, size_t bytes) {
  const char* p = static_cast<const char*>(node);
  bytes = std::min<size_t>(bytes, 4096);
  for (size_t off = 0; off < bytes; off += 64) __builtin_prefetch(p + off);
}

// Fills path for key; the index must not be empty.
template <typename K, typename V>
void Descend(const Index<K, V>& ix, const K& key, Path<K, V>* path) {
  void* node = ix.root;
  uint32_t before = 0;
  for (int d = 0; d < ix.height; ++d) {
    auto* in = static_cast<Inner<K>*>(node);
    int i = Route(in, key);
    for (int j = 0; j < i; ++j) before += in->size[j];
    path->node[d] = in;
    path->slot[d] = i;
    node = in->child[i];
    if (d + 1 < ix.height) {
      Prefetch(node, sizeof(Inner<K>));
    } else {
      Prefetch(node, sizeof(Leaf<K, V>));
    }
  }
  path->leaf = static_cast<Leaf<K, V>*>(node);
  path->before = before;
}

template <typename K, typename V>
int LowerBound(const Leaf<K, V>* lf, const K& key) {
  return static_cast<int>(std::lower_bound(lf->keys, lf->keys + lf->n, key) -
                          lf->keys);
}

template <typename K, typename V>
int UpperBound(const Leaf<K, V>* lf, const K& key) {
  return static_cast<int>(std::upper_bound(lf->keys, lf->keys + lf->n, key) -
                          lf->keys);
}

// Returns the entry with key, or no entry.
template <typename K, typename V>
Place<K, V> Locate(const Index<K, V>& ix, const K& key) {
  if (ix.root == nullptr) return {};
  Path<K, V> path;
  Descend(ix, key, &path);
  int at = LowerBound(path.leaf, key);
  if (at == path.leaf->n || key < path.leaf->keys[at]) return {};
  return {path.leaf, at};
}

// Returns the entry of rank (0 for the first entry); rank < total.
template <typename K, typename V>
Place<K, V> Select(const Index<K, V>& ix, uint32_t rank) {
  void* node = ix.root;
  for (int h = ix.height; h > 0; --h) {
    auto* in = static_cast<Inner<K>*>(node);
    int i = 0;
    while (rank >= in->size[i]) rank -= in->size[i++];
    node = in->child[i];
  }
  return {static_cast<Leaf<K, V>*>(node), static_cast<int>(rank)};
}

template <typename K, typename V>
void LeafInsertAt(Leaf<K, V>* lf, int at, const K& key, const V& value) {
  std::move_backward(lf->keys + at, lf->keys + lf->n, lf->keys + lf->n + 1);
  std::move_backward(lf->values + at, lf->values + lf->n,
                     lf->values + lf->n + 1);
  lf->keys[at] = key;
  lf->values[at] = value;
  ++lf->n;
}

template <typename K>
void InnerInsertAt(Inner<K>* in, int at, const K& key, void* child,
                   uint32_t size) {
  std::move_backward(in->keys + at, in->keys + in->n, in->keys + in->n + 1);
  std::move_backward(in->child + at, in->child + in->n, in->child + in->n + 1);
  std::move_backward(in->size + at, in->size + in->n, in->size + in->n + 1);
  in->keys[at] = key;
  in->child[at] = child;
  in->size[at] = size;
  ++in->n;
}

// How many of a full node's places stay where they are when the node splits
// for an insert at place `at`. Keys that arrive in ascending order (insert
// behind the last place: nothing moves, the new node starts with the new
// key) or in descending order (insert at the front: all but the first move
// on) leave full nodes behind, so a list filled in order takes no more
// memory than it must; other inserts split in the middle.
int SplitKeep(int at, int cap) {
  if (at == cap) return cap;
  if (at <= 1) return at;
  return cap / 2;
}

template <typename K, typename V>
Leaf<K, V>* SplitLeaf(Index<K, V>* ix, Leaf<K, V>* lf, int at, const K& key,
                      const V& value) {
  auto* right = new Leaf<K, V>;
  constexpr int kCap = kLeafCap<K, V>;
  int keep = SplitKeep(at, kCap);
  std::move(lf->keys + keep, lf->keys + kCap, right->keys);
  std::move(lf->values + keep, lf->values + kCap, right->values);
  right->n = kCap - keep;
  lf->n = keep;
  right->prev = lf;
  right->next = lf->next;
  if (lf->next != nullptr) {
    lf->next->prev = right;
  } else {
    ix->last = right;
  }
  lf->next = right;
  if (at <= keep && at < kCap) {
    LeafInsertAt(lf, at, key, value);
  } else {
    LeafInsertAt(right, at - keep, key, value);
  }
  return right;
}

template <typename K>
Inner<K>* SplitInner(Inner<K>* in, int at, const K& key, void* child,
                     uint32_t size) {
  auto* right = new Inner<K>;
  int keep = SplitKeep(at, kInnerCap);
  std::move(in->keys + keep, in->keys + kInnerCap, right->keys);
  std::move(in->child + keep, in->child + kInnerCap, right->child);
  std::move(in->size + keep, in->size + kInnerCap, right->size);
  right->n = kInnerCap - keep;
  in->n = keep;
  if (at <= keep && at < kInnerCap) {
    InnerInsertAt(in, at, key, child, size);
  } else {
    InnerInsertAt(right, at - keep, key, child, size);
  }
  return right;
}

template <typename K>
uint32_t SumSizes(const Inner<K>* in) {
  uint32_t sum = 0;
  for (int i = 0; i < in->n; ++i) sum += in->size[i];
  return sum;
}

// Adds an entry to an empty index.
template <typename K, typename V>
void InsertFirst(Index<K, V>* ix, const K& key, const V& value) {
  auto* lf = new Leaf<K, V>;
  LeafInsertAt(lf, 0, key, value);
  ix->root = lf;
  ix->height = 0;
  ix->total = 1;
  ix->first = ix->last = lf;
}

// Adds an entry at place `at` of the leaf that path leads to (key is not in
// the index yet, and `at` keeps the keys in order).
template <typename K, typename V>
void InsertAt(Index<K, V>* ix, const Path<K, V>& path, int at, const K& key,
              const V& value) {
  ++ix->total;
  Leaf<K, V>* lf = path.leaf;
  void* split = nullptr;
  K split_key{};
  uint32_t split_size = 0;
  uint32_t left_size = 0;
  if (lf->n < kLeafCap<K, V>) {
    LeafInsertAt(lf, at, key, value);
  } else {
    Leaf<K, V>* right = SplitLeaf(ix, lf, at, key, value);
    split = right;
    split_key = right->keys[0];
    split_size = static_cast<uint32_t>(right->n);
    left_size = static_cast<uint32_t>(lf->n);
  }
  for (int d = ix->height - 1; d >= 0; --d) {
    Inner<K>* in = path.node[d];
    int i = path.slot[d];
    if (split == nullptr) {
      ++in->size[i];
      continue;
    }
    in->size[i] = left_size;
    if (in->n < kInnerCap) {
      InnerInsertAt(in, i + 1, split_key, split, split_size);
      split = nullptr;
    } else {
      Inner<K>* right = SplitInner(in, i + 1, split_key, split, split_size);
      split = right;
      split_key = right->keys[0];
      split_size = SumSizes(right);
      left_size = SumSizes(in);
    }
  }
  if (split != nullptr) {
    auto* top = new Inner<K>;
    top->n = 2;
    top->child[0] = ix->root;
    top->size[0] = left_size;
    top->keys[1] = split_key;
    top->child[1] = split;
    top->size[1] = split_size;
    ix->root = top;
    ++ix->height;
  }
}

// Removes the entry with key, which must be in the index.
template <typename K, typename V>
void Erase(Index<K, V>* ix, const K& key) {
  Path<K, V> path;
  Descend(*ix, key, &path);
  Leaf<K, V>* lf = path.leaf;
  int at = LowerBound(lf, key);
  std::move(lf->keys + at + 1, lf->keys + lf->n, lf->keys + at);
  std::move(lf->values + at + 1, lf->values + lf->n, lf->values + at);
  --lf->n;
  --ix->total;
  bool gone = lf->n == 0;
  if (gone) {
    if (lf->prev != nullptr) {
      lf->prev->next = lf->next;
    } else {
      ix->first = lf->next;
    }
    if (lf->next != nullptr) {
      lf->next->prev = lf->prev;
    } else {
      ix->last = lf->prev;
    }
    delete lf;
  }
  for (int d = ix->height - 1; d >= 0; --d) {
    Inner<K>* in = path.node[d];
    int i = path.slot[d];
    if (!gone) {
      --in->size[i];
      continue;
    }
    std::move(in->keys + i + 1, in->keys + in->n, in->keys + i);
    std::move(in->child + i + 1, in->child + in->n, in->child + i);
    std::move(in->size + i + 1, in->size + in->n, in->size + i);
    --in->n;
    gone = in->n == 0;
    if (gone) delete in;
  }
  if (gone) {
    ix->root = nullptr;
    ix->height = 0;
    return;
  }
  while (ix->height > 0 && static_cast<Inner<K>*>(ix->root)->n == 1) {
    auto* top = static_cast<Inner<K>*>(ix->root);
    ix->root = top->child[0];
    delete top;
    --ix->height;
  }
}

// ---------------------------------------------------------------------------
// Lists

// A header link other than Anker and Ende: it names the entry with this key,
// or none. Keys are unique within a list and a link never outlives its
// entry (delete and clear let go of it), so the key names the entry.
template <typename K>
struct Link {
  bool named = false;
  K key{};
};

template <typename K>
void Name(Link<K>* link, const K& key) {
  link->named = true;
  link->key = key;
}

template <typename K>
void Unname(Link<K>* link) {
  link->named = false;
}

struct PendingInsert {
  int32_t key;
  int32_t value;
  bool replace;
};

// Inserts into an empty integer list are collected and placed all at once
// by the next operation that is not an insert (the reader fills list 0 with
// a whole folder listing before it looks at it). Sorting them costs a few
// passes over the keys in memory order, where placing them one by one would
// cost a cache miss each in a large list.
template <typename K, typename V>
constexpr bool kCollectsInserts =
    std::is_same_v<K, int32_t>&& std::is_same_v<V, int32_t>;

template <typename K, typename V>
struct List {
  int32_t anzahl = 0;
  int32_t aktuell = 0;
  int64_t suche = 0;
  // Anker and Ende are always the first and the last entry of the index.
  Link<K> akt;
  Link<K> pos;
  Link<K> hilfe;
  Link<K> vorher;
  Link<K> loesch;
  Index<K, V> index;
  // Set by renumber and dropped by every change of entries or values: the
  // values are then 1, 2, 3 ... in key order, so find by value v is the
  // v-th entry, and the value asked for next is usually the one after the
  // value found last.
  bool numbered = false;
  Place<K, V> last_found;
  int64_t last_value = 0;
  // Inserts into an empty integer list, in arrival order, not yet placed.
  std::vector<PendingInsert> pending;
};

using ListII = List<int32_t, int32_t>;
using ListTT = List<std::string, std::string>;
using ListTI = List<std::string, int32_t>;
using ListIT = List<int32_t, std::string>;

ListII g_lists_ii[kListCount];
ListTT g_lists_tt[kListCount];
ListTI g_lists_ti[kListCount];
ListIT g_lists_it[kListCount];

// One printed line, reused so that printing allocates only while it grows.
std::string g_line;

int32_t ListNumber(int32_t list) {
  return list >= 0 && list < kListCount ? list : 0;
}

void PlacePending(ListII& l);

// Every operation on an integer list other than insert sees it with its
// collected inserts placed.
ListII& LII(int32_t list) {
  ListII& l = g_lists_ii[ListNumber(list)];
  PlacePending(l);
  return l;
}
ListTT& LTT(int32_t list) { return g_lists_tt[ListNumber(list)]; }
ListTI& LTI(int32_t list) { return g_lists_ti[ListNumber(list)]; }
ListIT& LIT(int32_t list) { return g_lists_it[ListNumber(list)]; }

std::string Cut(std::string_view text) {
  return std::string(text.substr(0, kMaxTextLength));
}

// Storage size of one entry: its key and its value.
template <typename K, typename V>
int32_t EntrySize() {
  return static_cast<int32_t>(sizeof(K) + sizeof(V));
}

// Counters and sums wrap as the program's 32-bit integers always did,
// instead of being undefined.
int32_t WrapAdd(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) +
                              static_cast<uint32_t>(b));
}

void UpdateValue(int32_t* value, int32_t given, bool replace) {
  *value = replace ? given : WrapAdd(*value, given);
}

void UpdateValue(std::string* value, const std::string& given, bool) {
  *value = given;
}

// Returns the entry a header link names, or no entry.
template <typename K, typename V>
Place<K, V> LinkPlace(const List<K, V>& l, ListLink which) {
  const Link<K>* link = nullptr;
  switch (which) {
    case ListLink::kAnker:
      return First(l.index);
    case ListLink::kEnde:
      return Last(l.index);
    case ListLink::kAkt:
      link = &l.akt;
      break;
    case ListLink::kPos:
      link = &l.pos;
      break;
    case ListLink::kHilfe:
      link = &l.hilfe;
      break;
    case ListLink::kVorher:
      link = &l.vorher;
      break;
    case ListLink::kLoesch:
      link = &l.loesch;
      break;
  }
  if (link == nullptr || !link->named) return {};
  return Locate(l.index, link->key);
}

template <typename K, typename V>
void Clear(List<K, V>& l) {
  IndexClear(&l.index);
  for (Link<K>* link : {&l.akt, &l.pos, &l.hilfe, &l.vorher, &l.loesch}) {
    Unname(link);
  }
  l.anzahl = 0;
  l.aktuell = 0;
  l.numbered = false;
  l.last_found = {};
}

// Places key as the walk from Anker would: Anker and Ende are tried first;
// a key between them goes behind Pos, the last entry whose key is not above
// it, and `suche` grows by the steps the walk takes to reach Pos, which is
// its rank.
template <typename K, typename V>
void Insert(List<K, V>& l, const K& key, const V& value, bool replace) {
  l.anzahl = WrapAdd(l.anzahl, 1);
  l.aktuell = WrapAdd(l.aktuell, 1);
  l.numbered = false;
  Index<K, V>& ix = l.index;
  Name(&l.akt, key);
  if constexpr (kCollectsInserts<K, V>) {
    if (ix.total == 0 || !l.pending.empty()) {
      l.pending.push_back({key, value, replace});
      return;
    }
  }
  if (ix.total == 0) {
    InsertFirst(&ix, key, value);
    return;
  }
  Path<K, V> path;
  Descend(ix, key, &path);
  int at = UpperBound(path.leaf, key);
  Place<K, V> first = First(ix);
  if (!(KeyAt(first) < key)) {
    if (key == KeyAt(first)) {
      UpdateValue(&ValueAt(first), value, replace);
    } else {
      InsertAt(&ix, path, at, key, value);
    }
    return;
  }
  Place<K, V> last = Last(ix);
  if (!(key < KeyAt(last))) {
    if (key == KeyAt(last)) {
      UpdateValue(&ValueAt(last), value, replace);
    } else {
      InsertAt(&ix, path, at, key, value);
    }
    return;
  }
  // Between Anker and Ende: at least Anker has a key below, so Pos exists,
  // and Ende lies above, so Hilfe does.
  Place<K, V> pos = at > 0 ? Place<K, V>{path.leaf, at - 1}
                           : Previous(Place<K, V>{path.leaf, 0});
  l.suche += path.before + static_cast<uint32_t>(at) - 1;
  Name(&l.pos, KeyAt(pos));
  Name(&l.hilfe, KeyAt(Next(pos)));
  if (KeyAt(pos) == key) {
    UpdateValue(&ValueAt(pos), value, replace);
  } else {
    InsertAt(&ix, path, at, key, value);
  }
}

// Leaves Akt and Loesch on the entry found and Vorher on the one before it;
// when nothing is found Akt and Loesch are none and Vorher is the last
// entry, where the walk from Anker ends.
template <typename K, typename V>
Place<K, V> FindByKey(List<K, V>& l, const K& key) {
  Unname(&l.akt);
  Unname(&l.vorher);
  Unname(&l.loesch);
  Place<K, V> found = Locate(l.index, key);
  Place<K, V> before = found.leaf != nullptr ? Previous(found) : Last(l.index);
  if (before.leaf != nullptr) Name(&l.vorher, KeyAt(before));
  if (found.leaf != nullptr) {
    Name(&l.akt, key);
    Name(&l.loesch, key);
  }
  return found;
}

template <typename K, typename V>
Place<K, V> FindByValue(List<K, V>& l, const V& value) {
  Unname(&l.akt);
  Unname(&l.vorher);
  Unname(&l.loesch);
  Place<K, V> found;
  if constexpr (std::is_same_v<V, int32_t>) {
    if (l.numbered) {
      if (value >= 1 && static_cast<uint32_t>(value) <= l.index.total) {
        if (l.last_found.leaf != nullptr && value == l.last_value + 1) {
          found = Next(l.last_found);
        } else if (l.last_found.leaf != nullptr && value == l.last_value) {
          found = l.last_found;
        } else {
          found = Select(l.index, static_cast<uint32_t>(value - 1));
        }
        l.last_found = found;
        l.last_value = value;
        Name(&l.akt, KeyAt(found));
      }
      return found;
    }
  }
  for (Place<K, V> p = First(l.index); p.leaf != nullptr; p = Next(p)) {
    if (ValueAt(p) == value) {
      Name(&l.akt, KeyAt(p));
      return p;
    }
  }
  return found;
}

// Removes the entry found by key. Akt (find leaves it there), Loesch, and
// Pos or Hilfe from an earlier insert may name it; each such link lets go.
template <typename K, typename V>
bool Delete(List<K, V>& l, const K& key) {
  if (FindByKey(l, key).leaf == nullptr) return false;
  if (l.index.total == 1) {
    Clear(l);
    return true;
  }
  l.numbered = false;
  Erase(&l.index, key);
  l.anzahl = WrapAdd(l.anzahl, -1);
  for (Link<K>* link : {&l.akt, &l.pos, &l.hilfe, &l.vorher, &l.loesch}) {
    if (link->named && link->key == key) Unname(link);
  }
  return true;
}

// The walks of count, renumber and print leave their cursor Akt past the
// end of the list.
template <typename K, typename V>
int32_t Count(List<K, V>& l) {
  Unname(&l.akt);
  l.anzahl = static_cast<int32_t>(l.index.total);
  return l.anzahl;
}

template <typename K>
void Renumber(List<K, int32_t>& l) {
  int32_t n = 0;
  for (Leaf<K, int32_t>* lf = l.index.first; lf != nullptr; lf = lf->next) {
    for (int i = 0; i < lf->n; ++i) lf->values[i] = ++n;
  }
  Unname(&l.akt);
  l.anzahl = n;
  l.numbered = true;
  l.last_found = {};
  l.last_value = 0;
}

void AppendText(std::string* out, int64_t n) {
  char digits[24];
  auto result = std::to_chars(digits, digits + sizeof digits, n);
  out->append(digits, result.ptr);
}

void AppendText(std::string* out, const std::string& text) {
  out->append(text);
}

constexpr std::string_view kNoEntryText = "LEER (NIL)";

template <typename K, typename V>
void AppendEntry(std::string* out, Place<K, V> p) {
  if (p.leaf == nullptr) {
    out->append(kNoEntryText);
    return;
  }
  out->append("Key: ");
  AppendText(out, KeyAt(p));
  out->append(", Value: ");
  AppendText(out, ValueAt(p));
}

template <typename K, typename V>
void AppendEntrySeparated(std::string* out, Place<K, V> p, char separator) {
  if (p.leaf == nullptr) {
    out->append(kNoEntryText);
    return;
  }
  AppendText(out, KeyAt(p));
  out->push_back(separator);
  AppendText(out, ValueAt(p));
}

template <typename K, typename V>
void PrintEntry(List<K, V>& l, ListLink link) {
  g_line.clear();
  AppendEntry(&g_line, LinkPlace(l, link));
  OutLine(g_line);
}

template <typename K, typename V>
void PrintList(List<K, V>& l) {
  for (Place<K, V> p = First(l.index); p.leaf != nullptr; p = Next(p)) {
    g_line.clear();
    AppendEntry(&g_line, p);
    OutLine(g_line);
  }
  Unname(&l.akt);
}

template <typename K, typename V>
ListHeaderView<K, V> ReadHeader(const List<K, V>& l) {
  ListHeaderView<K, V> view;
  view.anzahl = l.anzahl;
  view.aktuell = l.aktuell;
  view.suche = l.suche;
  for (int i = 0; i < kListLinkCount; ++i) {
    Place<K, V> p = LinkPlace(l, static_cast<ListLink>(i));
    if (p.leaf == nullptr) continue;
    view.links[i].named = true;
    view.links[i].key = KeyAt(p);
    view.links[i].value = ValueAt(p);
  }
  return view;
}

// Builds the index of an empty list from entries in ascending key order,
// with full leaves.
template <typename K, typename V>
void BuildIndex(Index<K, V>* ix, const std::vector<K>& keys,
                const std::vector<V>& values) {
  constexpr int kCap = kLeafCap<K, V>;
  std::vector<void*> level;
  std::vector<K> level_keys;
  std::vector<uint32_t> level_sizes;
  Leaf<K, V>* previous = nullptr;
  for (size_t start = 0; start < keys.size(); start += kCap) {
    auto* lf = new Leaf<K, V>;
    size_t n = std::min<size_t>(kCap, keys.size() - start);
    std::copy(keys.begin() + start, keys.begin() + start + n, lf->keys);
    std::copy(values.begin() + start, values.begin() + start + n, lf->values);
    lf->n = static_cast<int32_t>(n);
    lf->prev = previous;
    if (previous != nullptr) {
      previous->next = lf;
    } else {
      ix->first = lf;
    }
    previous = lf;
    level.push_back(lf);
    level_keys.push_back(keys[start]);
    level_sizes.push_back(static_cast<uint32_t>(n));
  }
  ix->last = previous;
  ix->total = static_cast<uint32_t>(keys.size());
  ix->height = 0;
  while (level.size() > 1) {
    std::vector<void*> up;
    std::vector<K> up_keys;
    std::vector<uint32_t> up_sizes;
    for (size_t start = 0; start < level.size(); start += kInnerCap) {
      auto* in = new Inner<K>;
      size_t n = std::min<size_t>(kInnerCap, level.size() - start);
      uint32_t sum = 0;
      for (size_t i = 0; i < n; ++i) {
        in->keys[i] = level_keys[start + i];
        in->child[i] = level[start + i];
        in->size[i] = level_sizes[start + i];
        sum += level_sizes[start + i];
      }
      in->n = static_cast<int32_t>(n);
      up.push_back(in);
      up_keys.push_back(level_keys[start]);
      up_sizes.push_back(sum);
    }
    level.swap(up);
    level_keys.swap(up_keys);
    level_sizes.swap(up_sizes);
    ++ix->height;
  }
  ix->root = level.empty() ? nullptr : level[0];
}

// One collected insert while they are sorted by key.
struct SortedInsert {
  uint32_t key_bits;  // the key with its sign bit flipped: sorts as unsigned
  uint32_t arrival;
  int32_t value;
  uint32_t replace;
};

uint32_t OrderedBits(int32_t key) {
  return static_cast<uint32_t>(key) ^ 0x80000000u;
}

// Sorts by key, keeping arrival order among equal keys.
void SortByKey(std::vector<SortedInsert>* items,
               std::vector<SortedInsert>* spare) {
  spare->resize(items->size());
  for (int shift = 0; shift < 32; shift += 8) {
    size_t start[257] = {};
    for (const SortedInsert& item : *items) {
      ++start[((item.key_bits >> shift) & 0xFF) + 1];
    }
    for (int b = 0; b < 256; ++b) start[b + 1] += start[b];
    for (const SortedInsert& item : *items) {
      (*spare)[start[(item.key_bits >> shift) & 0xFF]++] = item;
    }
    items->swap(*spare);
  }
}

// Returns, summed over the items flagged as walking (bit 1), the number of
// earlier items flagged as new (bit 0) whose key (upper 32 bits) is not
// above theirs. A merge sort counts these pairs in passes over memory.
int64_t CountWalkSteps(std::vector<uint64_t>* items,
                       std::vector<uint64_t>* spare) {
  int64_t total = 0;
  size_t m = items->size();
  spare->resize(m);
  for (size_t width = 1; width < m; width *= 2) {
    const uint64_t* a = items->data();
    uint64_t* b = spare->data();
    for (size_t lo = 0; lo < m; lo += 2 * width) {
      size_t mid = std::min(lo + width, m);
      size_t hi = std::min(lo + 2 * width, m);
      size_t i = lo;
      size_t j = mid;
      size_t k = lo;
      int64_t taken_new = 0;
      // Without branches: on random keys the choice is a coin toss that a
      // branch predictor would lose half the time.
      while (i < mid && j < hi) {
        uint64_t left = a[i];
        uint64_t right = a[j];
        uint64_t take_left = (left >> 32) <= (right >> 32) ? 1 : 0;
        taken_new += static_cast<int64_t>(left & take_left);
        total +=
            static_cast<int64_t>((right >> 1) & (take_left ^ 1)) * taken_new;
        b[k++] = take_left != 0 ? left : right;
        i += take_left;
        j += take_left ^ 1;
      }
      while (i < mid) b[k++] = a[i++];
      while (j < hi) {
        if ((a[j] & 2) != 0) total += taken_new;
        b[k++] = a[j++];
      }
    }
    items->swap(*spare);
  }
  return total;
}

// Places the collected inserts of a list that was empty when they began,
// with every effect the inserts one by one would have had: the entries and
// their values, `suche` grown by each walk's steps, and Pos and Hilfe as the
// last walking insert left them (Akt and the counters were kept up as the
// inserts came).
void PlacePending(ListII& l) {
  if (l.pending.empty()) return;
  std::vector<PendingInsert> pending;
  pending.swap(l.pending);
  const size_t m = pending.size();

  // An insert walks when its key lies strictly between the smallest and
  // the largest key inserted before it.
  std::vector<uint8_t> flags(m, 0);
  constexpr uint8_t kNew = 1;
  constexpr uint8_t kWalks = 2;
  size_t last_walker = m;
  int32_t low = pending[0].key;
  int32_t high = pending[0].key;
  for (size_t i = 1; i < m; ++i) {
    int32_t key = pending[i].key;
    if (low < key && key < high) {
      flags[i] = kWalks;
      last_walker = i;
    }
    low = std::min(low, key);
    high = std::max(high, key);
  }

  // Arrival order within equal keys decides the value and which insert
  // made the entry.
  std::vector<int32_t> keys;
  std::vector<int32_t> values;
  {
    std::vector<SortedInsert> sorted(m);
    std::vector<SortedInsert> spare;
    for (size_t i = 0; i < m; ++i) {
      sorted[i] = {OrderedBits(pending[i].key), static_cast<uint32_t>(i),
                   pending[i].value, pending[i].replace ? 1u : 0u};
    }
    SortByKey(&sorted, &spare);
    spare = {};
    for (size_t g = 0; g < m;) {
      const SortedInsert& first = sorted[g];
      int32_t value = first.value;
      flags[first.arrival] |= kNew;
      size_t e = g + 1;
      for (; e < m && sorted[e].key_bits == first.key_bits; ++e) {
        UpdateValue(&value, sorted[e].value, sorted[e].replace != 0);
      }
      keys.push_back(static_cast<int32_t>(first.key_bits ^ 0x80000000u));
      values.push_back(value);
      g = e;
    }
  }
  BuildIndex(&l.index, keys, values);
  keys = {};
  values = {};

  std::vector<uint64_t> items(m);
  std::vector<uint64_t> spare;
  int64_t walkers = 0;
  for (size_t i = 0; i < m; ++i) {
    items[i] =
        static_cast<uint64_t>(OrderedBits(pending[i].key)) << 32 | flags[i];
    walkers += flags[i] >> 1;
  }
  // Each walk stops on the entry before which the key goes, or on its own
  // entry, and takes one step fewer than the entries up to there.
  l.suche += CountWalkSteps(&items, &spare) - walkers;

  if (last_walker < m) {
    int32_t key = pending[last_walker].key;
    bool has_pos = false;
    bool has_hilfe = false;
    int32_t pos = 0;
    int32_t hilfe = 0;
    for (size_t j = 0; j < last_walker; ++j) {
      int32_t k = pending[j].key;
      if (k <= key && (!has_pos || k > pos)) {
        pos = k;
        has_pos = true;
      }
      if (k > key && (!has_hilfe || k < hilfe)) {
        hilfe = k;
        has_hilfe = true;
      }
    }
    Name(&l.pos, pos);
    Name(&l.hilfe, hilfe);
  }
}

}  // namespace

// ---- Kind II ----

// Inserts reach the list without placing what is collected.
void ListInsertII(int32_t list, int32_t key, int32_t value, bool replace) {
  Insert(g_lists_ii[ListNumber(list)], key, value, replace);
}

void ListSetII(int32_t list, int32_t key, int32_t value) {
  ListInsertII(list, key, value, true);
}

void ListAddII(int32_t list, int32_t key, int32_t value) {
  ListInsertII(list, key, value, false);
}

void ListCountUpII(int32_t list, int32_t key) {
  ListInsertII(list, key, 1, false);
}

bool ListFindByKeyII(int32_t list, int32_t key, int32_t* value) {
  Place<int32_t, int32_t> p = FindByKey(LII(list), key);
  *value = p.leaf == nullptr ? -1 : ValueAt(p);
  return p.leaf != nullptr;
}

bool ListFindByValueII(int32_t list, int32_t value, int32_t* key) {
  Place<int32_t, int32_t> p = FindByValue(LII(list), value);
  *key = p.leaf == nullptr ? -1 : KeyAt(p);
  return p.leaf != nullptr;
}

bool ListDeleteII(int32_t list, int32_t key) { return Delete(LII(list), key); }

int32_t ListCountII(int32_t list) { return Count(LII(list)); }

void ListRenumberII(int32_t list) { Renumber(LII(list)); }

void ListClearII(int32_t list) { Clear(LII(list)); }

void ListPrintEntryII(int32_t list, ListLink link) {
  PrintEntry(LII(list), link);
}

void ListPrintEntryWithSizeII(int32_t list, ListLink link) {
  g_line.clear();
  AppendEntry(&g_line, LinkPlace(LII(list), link));
  g_line.append(", size= ");
  AppendText(&g_line, EntrySize<int32_t, int32_t>());
  OutLine(g_line);
}

void ListPrintII(int32_t list) { PrintList(LII(list)); }

void ListDumpII(int32_t list) {
  static constexpr std::string_view kLabels[kListLinkCount] = {
      "Anker  ", "Ende   ", "Akt    ", "Pos    ",
      "Hilfe  ", "Vorher ", "Loesch "};
  const ListII& l = LII(list);
  g_line.assign("Nr=");
  AppendText(&g_line, ListNumber(list));
  g_line.append(" anzahl=");
  AppendText(&g_line, l.anzahl);
  g_line.append(" aktuell=");
  AppendText(&g_line, l.aktuell);
  g_line.append(" suche=");
  AppendText(&g_line, l.suche);
  OutLine(g_line);
  for (int i = 0; i < kListLinkCount; ++i) {
    g_line.assign(kLabels[i]);
    AppendEntry(&g_line, LinkPlace(l, static_cast<ListLink>(i)));
    OutLine(g_line);
  }
}

ListHeaderII ReadListHeaderII(int32_t list) { return ReadHeader(LII(list)); }

// ---- List 0 shortcuts ----

void ListSet0(int32_t key, int32_t value) { ListSetII(0, key, value); }
void ListCountUp0(int32_t key) { ListCountUpII(0, key); }
void ListAdd0(int32_t key, int32_t value) { ListAddII(0, key, value); }
void ListPrint0() { ListPrintII(0); }
void ListClear0() { ListClearII(0); }
int32_t ListCount0() { return ListCountII(0); }
bool ListFindByKey0(int32_t key, int32_t* value) {
  return ListFindByKeyII(0, key, value);
}
bool ListFindByValue0(int32_t value, int32_t* key) {
  return ListFindByValueII(0, value, key);
}
bool ListDelete0(int32_t key) { return ListDeleteII(0, key); }
void ListRenumber0() { ListRenumberII(0); }
void ListTrace0(uint8_t) {}
void ListTraceText0(std::string_view) {}
void ListTraceLabel0(std::string_view) {}

// ---- Kind TT ----

void ListInsertTT(int32_t list, std::string_view key, std::string_view value) {
  Insert(LTT(list), Cut(key), Cut(value), true);
}

void ListPrintEntryTT(int32_t list, ListLink link) {
  PrintEntry(LTT(list), link);
}

void ListPrintTT(int32_t list) { PrintList(LTT(list)); }

void ListClearTT(int32_t list) { Clear(LTT(list)); }

int32_t ListCountTT(int32_t list) { return Count(LTT(list)); }

bool ListFindByKeyTT(int32_t list, std::string_view key, std::string* value) {
  Place<std::string, std::string> p = FindByKey(LTT(list), Cut(key));
  value->clear();
  if (p.leaf != nullptr) *value = ValueAt(p);
  return p.leaf != nullptr;
}

bool ListFindByValueTT(int32_t list, std::string_view value, std::string* key) {
  Place<std::string, std::string> p = FindByValue(LTT(list), Cut(value));
  key->clear();
  if (p.leaf != nullptr) *key = KeyAt(p);
  return p.leaf != nullptr;
}

bool ListDeleteTT(int32_t list, std::string_view key) {
  return Delete(LTT(list), Cut(key));
}

ListHeaderTT ReadListHeaderTT(int32_t list) { return ReadHeader(LTT(list)); }

// ---- Kind TI ----

void ListInsertTI(int32_t list, std::string_view key, int32_t value,
                  bool replace) {
  Insert(LTI(list), Cut(key), value, replace);
}

void ListSetTI(int32_t list, std::string_view key, int32_t value) {
  ListInsertTI(list, key, value, true);
}

void ListAddTI(int32_t list, std::string_view key, int32_t value) {
  ListInsertTI(list, key, value, false);
}

void ListCountUpTI(int32_t list, std::string_view key) {
  ListInsertTI(list, key, 1, false);
}

void ListPrintEntryTI(int32_t list, ListLink link) {
  PrintEntry(LTI(list), link);
}

void ListPrintEntrySeparatedTI(int32_t list, ListLink link, char separator) {
  g_line.clear();
  AppendEntrySeparated(&g_line, LinkPlace(LTI(list), link), separator);
  OutLine(g_line);
}

void ListPrintTI(int32_t list) { PrintList(LTI(list)); }

void ListPrintSeparatedTI(int32_t list, char separator) {
  ListTI& l = LTI(list);
  for (Place<std::string, int32_t> p = First(l.index); p.leaf != nullptr;
       p = Next(p)) {
    g_line.clear();
    AppendEntrySeparated(&g_line, p, separator);
    OutLine(g_line);
  }
  Unname(&l.akt);
}

void ListAddWordTI(int32_t list, std::string* word) {
  if (word->empty()) return;
  ListCountUpTI(list, *word);
  word->clear();
}

void ListCountWordsTI(int32_t list, std::string_view text) {
  std::string word;
  for (char c : text) {
    if (c == ' ') {
      ListAddWordTI(list, &word);
    } else {
      word.push_back(c);
    }
  }
  ListAddWordTI(list, &word);
}

void ListClearTI(int32_t list) { Clear(LTI(list)); }

int32_t ListCountTI(int32_t list) { return Count(LTI(list)); }

bool ListFindByKeyTI(int32_t list, std::string_view key, int32_t* value) {
  Place<std::string, int32_t> p = FindByKey(LTI(list), Cut(key));
  *value = p.leaf == nullptr ? 0 : ValueAt(p);
  return p.leaf != nullptr;
}

bool ListFindByValueTI(int32_t list, int32_t value, std::string* key) {
  Place<std::string, int32_t> p = FindByValue(LTI(list), value);
  key->clear();
  if (p.leaf != nullptr) *key = KeyAt(p);
  return p.leaf != nullptr;
}

bool ListDeleteTI(int32_t list, std::string_view key) {
  return Delete(LTI(list), Cut(key));
}

void ListRenumberTI(int32_t list) { Renumber(LTI(list)); }

ListHeaderTI ReadListHeaderTI(int32_t list) { return ReadHeader(LTI(list)); }

// ---- Kind IT ----

void ListInsertIT(int32_t list, int32_t key, std::string_view value) {
  Insert(LIT(list), key, Cut(value), true);
}

void ListPrintEntryIT(int32_t list, ListLink link) {
  PrintEntry(LIT(list), link);
}

void ListPrintIT(int32_t list) { PrintList(LIT(list)); }

void ListClearIT(int32_t list) { Clear(LIT(list)); }

int32_t ListCountIT(int32_t list) { return Count(LIT(list)); }

bool ListFindByKeyIT(int32_t list, int32_t key, std::string* value) {
  Place<int32_t, std::string> p = FindByKey(LIT(list), key);
  value->clear();
  if (p.leaf != nullptr) *value = ValueAt(p);
  return p.leaf != nullptr;
}

bool ListFindByValueIT(int32_t list, std::string_view value, int32_t* key) {
  Place<int32_t, std::string> p = FindByValue(LIT(list), Cut(value));
  *key = p.leaf == nullptr ? 0 : KeyAt(p);
  return p.leaf != nullptr;
}

bool ListDeleteIT(int32_t list, int32_t key) { return Delete(LIT(list), key); }

ListHeaderIT ReadListHeaderIT(int32_t list) { return ReadHeader(LIT(list)); }

// ---- Whole store ----

void ListClearAllZero() {
  Clear(LII(0));
  Clear(g_lists_tt[0]);
  Clear(g_lists_ti[0]);
  Clear(g_lists_it[0]);
}

void PrintHeapReport() {
  HeapFigures heap = ReadHeapFigures();
  OutLine("HEAP    Speicher max:  " + Grouped64(heap.max_used) + "/" +
          Grouped64(heap.max_size));
  OutLine("HEAP    Speicher frei: " + Grouped64(heap.free_now) + "/" +
          Grouped64(heap.size_now));
  OutLine("HEAP    Speicher voll: " + Grouped64(heap.used_now));
}

}  // namespace korv
