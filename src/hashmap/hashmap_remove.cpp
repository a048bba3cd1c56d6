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
// entry in *slot after one of its child subtrees was worked on. change is
// the change of its balance: +1 when its left side lost a level, -1 when its
// right side did, 0 when neither did. Returns 1 when the entry's subtree
// lost a level.
std::int32_t apply_height_change(MapEntry** slot, std::int32_t change) {
  if (change == 0) return 0;  // the subtree kept its height; nothing above changes
  MapEntry* entry = *slot;
  entry->balance += change;
  if (entry->balance >= 2 || entry->balance <= -2) return tree_rebalance(slot);
  // Balance 0: the taller side lost its extra level. +1/-1: it was 0 before,
  // and the other side still holds the height.
  return entry->balance == 0 ? 1 : 0;
}

// Releases entry E held in *slot: what its value owns, then its key block,
// then the entry block. deallocate_batch nulls the slot before the entry
// goes; the caller puts E's successor into the slot afterwards.
void release_entry(MapEntry** slot) {
  MapEntry* entry = *slot;
  release_value(&entry->value);
  deallocate_batch(0, &entry->key, slot, nullptr);
}

// Unlinks the entry furthest to side (the largest for the right, the
// smallest for the left) from the subtree in *slot, whose root has a child
// on that side: tree_detach_max and tree_detach_min, one the mirror image
// of the other. On the way down *out holds the parent of the entry
// examined; on return it holds the detached entry.
std::int32_t detach_extreme(MapEntry** slot, MapEntry** out, TreeSide side) {
  MapEntry* entry = *slot;
  if (tree_link(entry, side) != nullptr) {
    *out = entry;  // the parent of the entry examined next
    // The subtree on side losing a level moves the balance away from side.
    return apply_height_change(
        slot, -tree_sign(side) * detach_extreme(&tree_link(entry, side), out, side));
  }
  // entry is the extreme one and *out holds its parent, whose link on side is
  // the slot. The subtree's root has a child on side, so entry is never that
  // root and its parent was set by the level above, inside the subtree.
  MapEntry* parent = *out;
  const TreeSide other = tree_opposite(side);
  MapEntry* lifted = tree_link(entry, other);
  tree_link(entry, other) = nullptr;
  tree_link(parent, side) = lifted;
  *out = entry;
  // In a balanced tree a lifted child is a leaf (balance 0): the subtree
  // lost the level that entry occupied, as it does when entry had no child.
  return lifted == nullptr || lifted->balance == 0 ? 1 : 0;
}

// Removes the entry in *slot, which has two children, putting a replacement
// from one of its subtrees in its place. The removed entry's balance picks
// the side: exactly -1 takes the left (the replacement is the largest entry
// there), every other value the right (the smallest entry there). The
// replacement inherits the balance, and the bookkeeping then accounts for
// the level that side lost.
std::int32_t replace_entry_with_two_children(MapEntry** slot) {
  MapEntry* removed = *slot;
  const std::int32_t balance = removed->balance;
  const TreeSide side = balance == -1 ? TreeSide::left : TreeSide::right;
  const TreeSide inward = tree_opposite(side);  // towards the removed entry, within that subtree
  MapEntry* child = tree_link(removed, side);
  MapEntry* replacement;
  std::int32_t lost;  // whether the subtree on side lost a level
  if (tree_link(child, inward) == nullptr) {
    replacement = child;  // keeps its own child on side
    lost = 1;
  } else {
    // Work on copies, not on the removed entry's own fields: a rotation at
    // the top of the subtree puts its new root into `subtree`. `parent`
    // starts at the removed entry, the parent of that subtree's root, and
    // ends holding the detached entry.
    MapEntry* subtree = child;
    MapEntry* parent = removed;
    lost = detach_extreme(&subtree, &parent, inward);
    replacement = parent;
    tree_link(replacement, side) = subtree;
  }
  tree_link(replacement, inward) = tree_link(removed, inward);
  replacement->balance = balance;
  release_entry(slot);
  *slot = replacement;
  return apply_height_change(slot, -tree_sign(side) * lost);
}

// tree_delete's recursion, with the key's prefix computed once.
std::int32_t delete_below(const char* key, std::uint32_t prefix, MapEntry** slot) {
  MapEntry* entry = *slot;
  if (entry == nullptr) return 0;  // absent from this subtree: nothing changes
  const int order = tree_compare(key, prefix, entry);
  if (order < 0) return apply_height_change(slot, delete_below(key, prefix, &entry->left));
  if (order > 0) return apply_height_change(slot, -delete_below(key, prefix, &entry->right));
  if (entry->left != nullptr && entry->right != nullptr)
    return replace_entry_with_two_children(slot);
  MapEntry* only_child = entry->left != nullptr ? entry->left : entry->right;
  release_entry(slot);
  *slot = only_child;
  return 1;
}

}  // namespace

std::int32_t tree_detach_max(MapEntry** slot, MapEntry** out) {
  return detach_extreme(slot, out, TreeSide::right);
}

std::int32_t tree_detach_min(MapEntry** slot, MapEntry** out) {
  return detach_extreme(slot, out, TreeSide::left);
}

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
