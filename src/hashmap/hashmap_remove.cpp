// Entry removal from the hash map: AVL deletion with relinking. Contracts in
// hashmap.hpp and hashmap_tree.hpp.
//
// Every function here takes the address of a slot (a root slot of the map,
// an entry's left or right field, or a working variable) so that a rotation
// or a removal at the top of a subtree can put the new root in its place.
// Results are 1 when the subtree held in the slot lost one level of height,
// 0 otherwise. Entries are relinked, never copied: when the removed entry has
// two children, another entry of its subtree takes its place with its own key
// and value, so every other entry keeps its address. Nothing is allocated.
#include "hashmap/hashmap.hpp"
#include "hashmap/hashmap_tree.hpp"
#include "memory/memory.hpp"

namespace {

// The height bookkeeping shared by deletion and detachment, applied to the
// entry N in *slot after one of N's child subtrees was worked on. d is the
// change of N's balance: +1 when N's left side lost a level, -1 when its
// right side did, 0 when neither did. Returns 1 when N's subtree lost a level.
std::int32_t apply_height_change(MapEntry** slot, std::int32_t d) {
  if (d == 0) return 0;  // the subtree kept its height; nothing above changes
  MapEntry* n = *slot;
  n->balance += d;
  if (n->balance >= 2 || n->balance <= -2) return tree_rebalance(slot);
  // Balance 0: the taller side lost its extra level. +1/-1: it was 0 before,
  // and the other side still holds the height.
  return n->balance == 0 ? 1 : 0;
}

// Releases entry E held in *slot: what its value owns, then its key block,
// then the entry block. deallocate_batch nulls the slot before the entry
// goes; the caller puts E's successor into the slot afterwards.
void release_entry(MapEntry** slot) {
  MapEntry* e = *slot;
  release_value(&e->value);
  deallocate_batch(0, &e->key, slot, nullptr);
}

}  // namespace

std::int32_t tree_detach_max(MapEntry** slot, MapEntry** out) {
  MapEntry* n = *slot;
  if (n->right != nullptr) {
    *out = n;  // the parent of the entry examined next
    return apply_height_change(slot, -tree_detach_max(&n->right, out));
  }
  // n is the largest entry and *out holds its parent, whose right link is
  // the slot. The subtree's root has a right child, so n is never that root
  // and its parent was set by the level above, inside the subtree.
  MapEntry* parent = *out;
  MapEntry* lifted = n->left;
  if (lifted != nullptr) {
    n->left = nullptr;
    parent->right = lifted;
    *out = n;
    // In a balanced tree the lifted child is a leaf (balance 0): the subtree
    // lost the level that n occupied.
    return lifted->balance == 0 ? 1 : 0;
  }
  parent->right = nullptr;
  *out = n;
  return 1;
}

std::int32_t tree_detach_min(MapEntry** slot, MapEntry** out) {
  MapEntry* n = *slot;
  if (n->left != nullptr) {
    *out = n;
    return apply_height_change(slot, tree_detach_min(&n->left, out));
  }
  // n is the smallest entry; *out holds its parent, whose left link is the
  // slot (see tree_detach_max).
  MapEntry* parent = *out;
  MapEntry* lifted = n->right;
  if (lifted != nullptr) {
    n->right = nullptr;
    parent->left = lifted;
    *out = n;
    return lifted->balance == 0 ? 1 : 0;
  }
  parent->left = nullptr;
  *out = n;
  return 1;
}

namespace {

// Removes E, the entry in *slot, which has two children, putting a
// replacement P from one of its subtrees in its place. b = E's balance picks
// the side: exactly -1 takes the left (P is the largest entry there), every
// other value the right (P is the smallest entry there). P inherits E's
// balance, and the bookkeeping then accounts for the level that side lost.
std::int32_t replace_entry_with_two_children(MapEntry** slot) {
  MapEntry* e = *slot;
  const std::int32_t b = e->balance;
  MapEntry* left = e->left;
  MapEntry* right = e->right;
  MapEntry* p;
  std::int32_t d;
  if (b == -1) {
    if (left->right == nullptr) {
      p = left;  // keeps its own left child
      d = 1;
    } else {
      // Work on copies, not on E's own fields: a rotation at the top of the
      // left subtree puts its new root into `subtree`. `parent` starts at E,
      // the parent of that subtree's root, and ends holding the detached
      // entry.
      MapEntry* subtree = left;
      MapEntry* parent = e;
      d = tree_detach_max(&subtree, &parent);
      p = parent;
      p->left = subtree;
    }
    p->right = right;
  } else {
    if (right->left == nullptr) {
      p = right;  // keeps its own right child
      d = -1;
    } else {
      MapEntry* subtree = right;
      MapEntry* parent = e;
      d = -tree_detach_min(&subtree, &parent);
      p = parent;
      p->right = subtree;
    }
    p->left = left;
  }
  p->balance = b;
  release_entry(slot);
  *slot = p;
  return apply_height_change(slot, d);
}

// tree_delete's recursion, with the key's prefix computed once.
std::int32_t delete_below(const char* key, std::uint32_t prefix, MapEntry** slot) {
  MapEntry* e = *slot;
  if (e == nullptr) return 0;  // absent from this subtree: nothing changes
  const int order = tree_compare(key, prefix, e);
  if (order < 0) return apply_height_change(slot, delete_below(key, prefix, &e->left));
  if (order > 0) return apply_height_change(slot, -delete_below(key, prefix, &e->right));
  if (e->left != nullptr && e->right != nullptr) return replace_entry_with_two_children(slot);
  MapEntry* only_child = e->left != nullptr ? e->left : e->right;
  release_entry(slot);
  *slot = only_child;
  return 1;
}

}  // namespace

std::int32_t tree_delete(const char* key, MapEntry** slot) {
  return delete_below(key, key_prefix(key), slot);
}

void hashmap_remove(HashMap* map, const char* key, std::int64_t len) {
  if (key == nullptr || key[0] == '\0') return;
  if (len < 0) len = string_length(key);
  MapEntry** slot = hashmap_root_slot(map, key, len);
  MapEntry* root = *slot;
  if (root == nullptr) return;
  if (root->left != nullptr || root->right != nullptr) {
    tree_delete(key, slot);
    return;
  }
  // The bucket's only entry: remove it when it holds the key, emptying the
  // bucket (the same effect tree_delete has on a one-entry tree).
  if (tree_compare(key, key_prefix(key), root) != 0) return;
  release_entry(slot);
}
