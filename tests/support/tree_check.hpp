// Test support for the bucket trees: a renderer and an invariant checker.
// Header-only and used by tests alone; the program never includes it.
//
// tree_render writes a tree as root(balance)[left, right]: a leaf as its key
// alone, an empty side as '-', balances signed ("+1", "-1", "0").
#pragma once

#include <cstring>
#include <string>

#include "hashmap/hashmap.hpp"
#include "hashmap/hashmap_tree.hpp"

inline std::string tree_render(const MapEntry* e) {
  if (e == nullptr) return "-";
  if (e->left == nullptr && e->right == nullptr && e->balance == 0) return e->key;
  std::string balance =
      e->balance > 0 ? "+" + std::to_string(e->balance) : std::to_string(e->balance);
  return std::string(e->key) + "(" + balance + ")[" + tree_render(e->left) + ", " +
         tree_render(e->right) + "]";
}

// Post-order of the keys, comma-separated: the order the emitter writes them.
inline void tree_post_order(const MapEntry* e, std::string& out) {
  if (e == nullptr) return;
  tree_post_order(e->left, out);
  tree_post_order(e->right, out);
  if (!out.empty()) out += ", ";
  out += e->key;
}

// Checks the subtree at e: strictly increasing strcmp order within
// (low, high) (null bound: open), key_len and prefix matching the key, balance exactly
// height(right) - height(left) and within -1..+1. Returns the height, or -1
// with *problem set to a description of the first violation found.
inline int tree_check(const MapEntry* e, const char* low, const char* high, std::string* problem) {
  if (e == nullptr) return 0;
  if ((low != nullptr && std::strcmp(low, e->key) >= 0) ||
      (high != nullptr && std::strcmp(e->key, high) >= 0)) {
    *problem = std::string("order broken at ") + e->key;
    return -1;
  }
  if (static_cast<std::int64_t>(std::strlen(e->key)) != e->key_len) {
    *problem = std::string("key_len wrong at ") + e->key;
    return -1;
  }
  if (e->prefix != key_prefix(e->key)) {
    *problem = std::string("prefix wrong at ") + e->key;
    return -1;
  }
  const int left = tree_check(e->left, low, e->key, problem);
  if (left < 0) return -1;
  const int right = tree_check(e->right, e->key, high, problem);
  if (right < 0) return -1;
  if (e->balance != right - left || e->balance < -1 || e->balance > 1) {
    *problem = std::string("balance ") + std::to_string(e->balance) + " at " + e->key +
               " where heights are " + std::to_string(left) + "/" + std::to_string(right);
    return -1;
  }
  return 1 + (left > right ? left : right);
}

// Checks every bucket tree of map, and that every entry lies in its key's
// bucket. Returns an empty string when all holds, else the first problem.
inline std::string hashmap_check(HashMap* map) {
  std::string problem;
  const std::uint32_t count = hashmap_count(map);
  for (std::uint64_t slot = 1; slot <= count; ++slot) {
    const MapEntry* root = *hashmap_slot(map, slot);
    if (tree_check(root, nullptr, nullptr, &problem) < 0) return problem;
    // Every entry of this tree must hash to this slot.
    const MapEntry* stack[128];
    int depth = 0;
    if (root != nullptr) stack[depth++] = root;
    while (depth > 0) {
      const MapEntry* e = stack[--depth];
      if (hashmap_root_slot(map, e->key, e->key_len) != hashmap_slot(map, slot))
        return std::string("entry in the wrong bucket: ") + e->key;
      if (e->left != nullptr) stack[depth++] = e->left;
      if (e->right != nullptr) stack[depth++] = e->right;
    }
  }
  return problem;
}
