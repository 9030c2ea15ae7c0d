/*
 * avl.h: a small ordered set of nodes embedded in their objects, keyed by
 * a pointer that the set's comparator understands.
 *
 * A bus client keeps a handful of objects in one; a sorted ring walked in
 * full is all that needs, so that is what lies behind the name. The caller
 * owns every node; the set never allocates.
 */
#ifndef TARNEL_LIBUBOX_AVL_H
#define TARNEL_LIBUBOX_AVL_H

#include <stddef.h>
#include <stdbool.h>
#include "list.h"

#ifdef __cplusplus
extern "C" {
#endif

struct avl_node {
    struct list_head list; /* in key order */
    const void *key;       /* set before avl_insert() */
};

/* <0, 0 or >0, as strcmp; ptr is the set's cmp_ptr. */
typedef int (*avl_tree_comp)(const void *k1, const void *k2, void *ptr);

struct avl_tree {
    struct list_head list_head;
    unsigned int count;
    bool allow_dups;
    avl_tree_comp comp;
    void *cmp_ptr;
};

void avl_init(struct avl_tree *tree, avl_tree_comp comp, bool allow_dups, void *ptr);
/* With duplicates allowed, the one inserted first. NULL if absent. */
struct avl_node *avl_find(const struct avl_tree *tree, const void *key);
/* 0, or -1 when the key is taken and duplicates are not allowed. */
int avl_insert(struct avl_tree *tree, struct avl_node *node);
void avl_delete(struct avl_tree *tree, struct avl_node *node);

static inline void *avl_node_owner(struct avl_node *node, size_t member_offset)
{
    return node ? (char *)node - member_offset : NULL;
}

/* The object holding the node with `key`, or NULL; `element` gives its type. */
#define avl_find_element(tree, key, element, member)                                                                   \
    ((__typeof__(*(element)) *)avl_node_owner(avl_find(tree, key), offsetof(__typeof__(*(element)), member)))

/* In key order; the body may delete `element` from the set. */
#define avl_for_each_element_safe(tree, element, member, tmp)                                                          \
    list_for_each_entry_safe(element, tmp, &(tree)->list_head, member.list)

#ifdef __cplusplus
}
#endif

#endif
