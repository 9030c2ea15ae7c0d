/*
 * avl.h - ordered set of intrusive nodes keyed by a pointer.
 *
 * Each struct avl_node carries a key pointer that the tree's comparator
 * understands. Nodes are also chained in key order on tree->list_head, so
 * iteration is a plain list walk. The caller owns the nodes' memory; the
 * tree never allocates. Lookups are linear in the number of nodes: meant
 * for the small sets a bus client keeps, not for large indexes.
 */
#ifndef __LIBUBOX_AVL_H
#define __LIBUBOX_AVL_H

#include <stddef.h>
#include <stdbool.h>
#include "list.h"

#ifdef __cplusplus
extern "C" {
#endif

struct avl_node {
    struct list_head list; /* key-ordered chain of all nodes */
    struct avl_node *parent;
    struct avl_node *left;
    struct avl_node *right;
    const void *key;
    signed char balance; /* height(right) - height(left) */
    bool leader;         /* first node of a run of equal keys */
};

/* Three-way comparison: <0, 0 or >0 like strcmp. ptr is tree->cmp_ptr. */
typedef int (*avl_tree_comp)(const void *k1, const void *k2, void *ptr);

struct avl_tree {
    struct list_head list_head;
    struct avl_node *root;
    unsigned int count;
    bool allow_dups;
    avl_tree_comp comp;
    void *cmp_ptr;
};

enum avl_find_mode {
    AVL_FIND_EQUAL,
    AVL_FIND_LESSEQUAL,
    AVL_FIND_GREATEREQUAL,
};

#define AVL_TREE_INIT(_name, _comp, _allow_dups, _cmp_ptr)                                                             \
    {                                                                                                                  \
        LIST_HEAD_INIT((_name).list_head), NULL, 0, (_allow_dups), (_comp), (_cmp_ptr)                                 \
    }

void avl_init(struct avl_tree *tree, avl_tree_comp comp, bool allow_dups, void *ptr);
/* Exact match; with duplicates, the first of the equal nodes. NULL if absent. */
struct avl_node *avl_find(const struct avl_tree *tree, const void *key);
struct avl_node *avl_find_lessequal(const struct avl_tree *tree, const void *key);
struct avl_node *avl_find_greaterequal(const struct avl_tree *tree, const void *key);
/* node->key must be set. 0, or -1 if the key exists and dups are not allowed. */
int avl_insert(struct avl_tree *tree, struct avl_node *node);
void avl_delete(struct avl_tree *tree, struct avl_node *node);
/* Comparator for NUL-terminated string keys. */
int avl_strcmp(const void *k1, const void *k2, void *ptr);

/* Returns the containing element, or NULL. */
void *__avl_find_element(const struct avl_tree *tree, const void *key, size_t offset, enum avl_find_mode mode);

static inline bool avl_is_empty(const struct avl_tree *tree)
{
    return tree->count == 0;
}

static inline bool avl_is_first(const struct avl_tree *tree, const struct avl_node *node)
{
    return tree->list_head.next == &node->list;
}

static inline bool avl_is_last(const struct avl_tree *tree, const struct avl_node *node)
{
    return tree->list_head.prev == &node->list;
}

#define avl_find_element(tree, key, element, node_element)                                                             \
    ((__typeof__(*(element)) *)__avl_find_element(tree, key, offsetof(__typeof__(*(element)), node_element),           \
                                                  AVL_FIND_EQUAL))

#define avl_find_le_element(tree, key, element, node_element)                                                          \
    ((__typeof__(*(element)) *)__avl_find_element(tree, key, offsetof(__typeof__(*(element)), node_element),           \
                                                  AVL_FIND_LESSEQUAL))

#define avl_find_ge_element(tree, key, element, node_element)                                                          \
    ((__typeof__(*(element)) *)__avl_find_element(tree, key, offsetof(__typeof__(*(element)), node_element),           \
                                                  AVL_FIND_GREATEREQUAL))

#define avl_first_element(tree, element, node_member)                                                                  \
    container_of((tree)->list_head.next, __typeof__(*(element)), node_member.list)

#define avl_last_element(tree, element, node_member)                                                                   \
    container_of((tree)->list_head.prev, __typeof__(*(element)), node_member.list)

#define avl_next_element(element, node_member)                                                                         \
    container_of((&(element)->node_member.list)->next, __typeof__(*(element)), node_member.list)

#define avl_for_each_element(tree, element, node_member)                                                               \
    list_for_each_entry(element, &(tree)->list_head, node_member.list)

#define avl_for_each_element_reverse(tree, element, node_member)                                                       \
    list_for_each_entry_reverse(element, &(tree)->list_head, node_member.list)

/* element may be removed from the tree inside the loop body. */
#define avl_for_each_element_safe(tree, element, node_member, ptr)                                                     \
    list_for_each_entry_safe(element, ptr, &(tree)->list_head, node_member.list)

#ifdef __cplusplus
}
#endif

#endif
