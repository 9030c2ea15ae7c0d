/*
 * avl.cpp - the ordered node set behind struct avl_tree.
 *
 * Nodes are kept in key order on tree->list_head and found by walking it.
 * The sets this library serves (a client's objects, a handful of entries)
 * are tiny, so a linear walk beats the bookkeeping of a balanced tree; the
 * balancing fields exist for layout compatibility and stay unused.
 */
#include <libubox/avl.h>

#include <cstring>

static int compare(const struct avl_tree *tree, const void *k1, const void *k2)
{
    return tree->comp(k1, k2, tree->cmp_ptr);
}

static struct avl_node *node_of(struct list_head *pos)
{
    return container_of(pos, struct avl_node, list);
}

void avl_init(struct avl_tree *tree, avl_tree_comp comp, bool allow_dups, void *ptr)
{
    INIT_LIST_HEAD(&tree->list_head);
    tree->root = NULL;
    tree->count = 0;
    tree->allow_dups = allow_dups;
    tree->comp = comp;
    tree->cmp_ptr = ptr;
}

struct avl_node *avl_find_greaterequal(const struct avl_tree *tree, const void *key)
{
    struct list_head *pos;

    list_for_each(pos, &tree->list_head)
    {
        if (compare(tree, node_of(pos)->key, key) >= 0)
            return node_of(pos);
    }
    return NULL;
}

struct avl_node *avl_find(const struct avl_tree *tree, const void *key)
{
    struct avl_node *node = avl_find_greaterequal(tree, key);

    return node && compare(tree, node->key, key) == 0 ? node : NULL;
}

struct avl_node *avl_find_lessequal(const struct avl_tree *tree, const void *key)
{
    struct list_head *pos;

    list_for_each_prev(pos, &tree->list_head)
    {
        if (compare(tree, node_of(pos)->key, key) <= 0)
            return node_of(pos);
    }
    return NULL;
}

/* Equal keys keep insertion order: a new duplicate goes after the others. */
int avl_insert(struct avl_tree *tree, struct avl_node *node)
{
    struct list_head *pos;
    bool first_of_key = true;

    list_for_each(pos, &tree->list_head)
    {
        int cmp = compare(tree, node_of(pos)->key, node->key);

        if (cmp == 0 && !tree->allow_dups)
            return -1;
        if (cmp == 0)
            first_of_key = false;
        if (cmp > 0)
            break;
    }
    list_add_tail(&node->list, pos);
    node->parent = node->left = node->right = NULL;
    node->balance = 0;
    node->leader = first_of_key;
    tree->count++;
    return 0;
}

void avl_delete(struct avl_tree *tree, struct avl_node *node)
{
    struct list_head *next = node->list.next;

    /* The next equal node, if any, takes over as leader of its key. */
    if (node->leader && next != &tree->list_head && compare(tree, node_of(next)->key, node->key) == 0)
        node_of(next)->leader = true;
    list_del(&node->list);
    tree->count--;
}

int avl_strcmp(const void *k1, const void *k2, void *)
{
    return strcmp((const char *)k1, (const char *)k2);
}

void *__avl_find_element(const struct avl_tree *tree, const void *key, size_t offset, enum avl_find_mode mode)
{
    struct avl_node *node;

    switch (mode) {
    case AVL_FIND_LESSEQUAL: node = avl_find_lessequal(tree, key); break;
    case AVL_FIND_GREATEREQUAL: node = avl_find_greaterequal(tree, key); break;
    default: node = avl_find(tree, key); break;
    }
    return node ? (char *)node - offset : NULL;
}
