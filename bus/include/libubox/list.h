/*
 * list.h: doubly-linked rings of struct list_head embedded in the objects
 * they chain.
 *
 * A stand-alone list_head is the ring's anchor; an empty ring's anchor
 * points at itself both ways. Only what the bus library and its loop need
 * is here. Everything is inline: there is no library code behind it.
 */
#ifndef TARNEL_LIBUBOX_LIST_H
#define TARNEL_LIBUBOX_LIST_H

#include <stddef.h>
#include <stdbool.h>

#ifndef container_of
/* The structure of type `type` whose field `member` is at `ptr`. */
#define container_of(ptr, type, member) ((type *)((char *)(ptr)-offsetof(type, member)))
#endif

struct list_head {
    struct list_head *next;
    struct list_head *prev;
};

/* Static initialiser of an empty anchor. */
#define LIST_HEAD_INIT(anchor)                                                                                         \
    {                                                                                                                  \
        &(anchor), &(anchor)                                                                                           \
    }

static inline void INIT_LIST_HEAD(struct list_head *anchor)
{
    anchor->next = anchor->prev = anchor;
}

static inline bool list_empty(const struct list_head *anchor)
{
    return anchor->next == anchor;
}

/* Makes `item` the last entry of the ring anchored at `anchor`. */
static inline void list_add_tail(struct list_head *item, struct list_head *anchor)
{
    struct list_head *last = anchor->prev;

    item->next = anchor;
    item->prev = last;
    last->next = item;
    anchor->prev = item;
}

/*
 * Takes `item` out of its ring. Its own links are cleared so that a second
 * removal crashes at once instead of corrupting a ring that moved on.
 */
static inline void list_del(struct list_head *item)
{
    item->prev->next = item->next;
    item->next->prev = item->prev;
    item->next = item->prev = NULL;
}

/* As list_del, leaving `item` an empty ring of its own (list_empty holds). */
static inline void list_del_init(struct list_head *item)
{
    list_del(item);
    INIT_LIST_HEAD(item);
}

static inline void list_move_tail(struct list_head *item, struct list_head *anchor)
{
    list_del(item);
    list_add_tail(item, anchor);
}

#define list_entry(ptr, type, member) container_of(ptr, type, member)
#define list_first_entry(anchor, type, member) list_entry((anchor)->next, type, member)

/* Walks the links themselves; `pos` is a struct list_head pointer. */
#define list_for_each(pos, anchor) for (pos = (anchor)->next; pos != (anchor); pos = pos->next)
#define list_for_each_prev(pos, anchor) for (pos = (anchor)->prev; pos != (anchor); pos = pos->prev)

/* Walks the containing entries; `pos` points to the entry type. */
#define list_for_each_entry(pos, anchor, member)                                                                       \
    for (pos = list_first_entry(anchor, __typeof__(*pos), member); &pos->member != (anchor);                           \
         pos = list_entry(pos->member.next, __typeof__(*pos), member))

/* As list_for_each_entry; the body may unlink or free `pos` (not `tmp`). */
#define list_for_each_entry_safe(pos, tmp, anchor, member)                                                             \
    for (pos = list_first_entry(anchor, __typeof__(*pos), member),                                                     \
        tmp = list_entry(pos->member.next, __typeof__(*pos), member);                                                  \
         &pos->member != (anchor); pos = tmp, tmp = list_entry(tmp->member.next, __typeof__(*tmp), member))

#endif
