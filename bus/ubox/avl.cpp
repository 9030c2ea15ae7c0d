/*
 * avl.cpp: the ordered node set behind struct avl_tree, kept as a sorted
 * ring. Insertion and lookup walk it; for the few objects of one bus
 * client that is cheaper than keeping a tree balanced.
 */
#include <libubox/avl.h>

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
    tree->count = 0;
    tree->allow_dups = allow_dups;
    tree->comp = comp;
    tree->cmp_ptr = ptr;
}

struct avl_node *avl_find(const struct avl_tree *tree, const void *key)
{
    struct list_head *pos;

    list_for_each(pos, &tree->list_head)
    {
        int cmp = compare(tree, node_of(pos)->key, key);

        if (cmp == 0)
            return node_of(pos);
        if (cmp > 0)
            break;
    }
    return NULL;
}

/* A duplicate goes behind the nodes of its key, so lookups find the oldest. */
int avl_insert(struct avl_tree *tree, struct avl_node *node)
{
    struct list_head *pos;

    list_for_each(pos, &tree->list_head)
    {
        int cmp = compare(tree, node_of(pos)->key, node->key);

        if (cmp == 0 && !tree->allow_dups)
            return -1;
        if (cmp > 0)
            break;
    }
    list_add_tail(&node->list, pos);
    tree->count++;
    return 0;
}

void avl_delete(struct avl_tree *tree, struct avl_node *node)
{
    list_del(&node->list);
    tree->count--;
}
