/*
 * list.h - intrusive circular doubly-linked list.
 *
 * A struct list_head embedded in an object links it into a list whose head is
 * another (stand-alone) list_head. An empty list points at itself. Deleting
 * an entry leaves its pointers NULL; use list_del_init to keep it reusable.
 */
#ifndef __LIBUBOX_LIST_H
#define __LIBUBOX_LIST_H

#include <stddef.h>
#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef container_of
#define container_of(ptr, type, member) ((type *)((char *)(ptr)-offsetof(type, member)))
#endif

struct list_head {
    struct list_head *next;
    struct list_head *prev;
};

#define LIST_HEAD_INIT(name)                                                                                           \
    {                                                                                                                  \
        &(name), &(name)                                                                                               \
    }
#undef LIST_HEAD
#define LIST_HEAD(name) struct list_head name = LIST_HEAD_INIT(name)

static inline void INIT_LIST_HEAD(struct list_head *list)
{
    list->next = list;
    list->prev = list;
}

static inline bool list_empty(const struct list_head *head)
{
    return head->next == head;
}

static inline bool list_is_first(const struct list_head *list, const struct list_head *head)
{
    return list->prev == head;
}

static inline bool list_is_last(const struct list_head *list, const struct list_head *head)
{
    return list->next == head;
}

static inline void _list_del(struct list_head *entry)
{
    entry->next->prev = entry->prev;
    entry->prev->next = entry->next;
}

static inline void list_del(struct list_head *entry)
{
    _list_del(entry);
    entry->next = NULL;
    entry->prev = NULL;
}

static inline void list_del_init(struct list_head *entry)
{
    _list_del(entry);
    INIT_LIST_HEAD(entry);
}

static inline void _list_add(struct list_head *entry, struct list_head *prev, struct list_head *next)
{
    next->prev = entry;
    entry->next = next;
    entry->prev = prev;
    prev->next = entry;
}

/* Insert right after head: the list behaves as a stack. */
static inline void list_add(struct list_head *entry, struct list_head *head)
{
    _list_add(entry, head, head->next);
}

/* Insert right before head: the list behaves as a queue. */
static inline void list_add_tail(struct list_head *entry, struct list_head *head)
{
    _list_add(entry, head->prev, head);
}

static inline void list_move(struct list_head *entry, struct list_head *head)
{
    _list_del(entry);
    list_add(entry, head);
}

static inline void list_move_tail(struct list_head *entry, struct list_head *head)
{
    _list_del(entry);
    list_add_tail(entry, head);
}

static inline void _list_splice(const struct list_head *list, struct list_head *prev, struct list_head *next)
{
    if (list_empty(list))
        return;
    list->next->prev = prev;
    prev->next = list->next;
    list->prev->next = next;
    next->prev = list->prev;
}

static inline void list_splice(const struct list_head *list, struct list_head *head)
{
    _list_splice(list, head, head->next);
}

static inline void list_splice_tail(const struct list_head *list, struct list_head *head)
{
    _list_splice(list, head->prev, head);
}

static inline void list_splice_init(struct list_head *list, struct list_head *head)
{
    _list_splice(list, head, head->next);
    INIT_LIST_HEAD(list);
}

static inline void list_splice_tail_init(struct list_head *list, struct list_head *head)
{
    _list_splice(list, head->prev, head);
    INIT_LIST_HEAD(list);
}

#define list_entry(ptr, type, field) container_of(ptr, type, field)
#define list_first_entry(ptr, type, field) list_entry((ptr)->next, type, field)
#define list_last_entry(ptr, type, field) list_entry((ptr)->prev, type, field)

#define list_for_each(p, head) for (p = (head)->next; p != (head); p = p->next)

#define list_for_each_safe(p, n, head) for (p = (head)->next, n = p->next; p != (head); p = n, n = p->next)

#define list_for_each_prev(p, h) for (p = (h)->prev; p != (h); p = p->prev)

#define list_for_each_entry(p, h, field)                                                                               \
    for (p = list_first_entry(h, __typeof__(*p), field); &p->field != (h);                                             \
         p = list_entry(p->field.next, __typeof__(*p), field))

/* The current entry may be deleted (or freed) inside the loop body. */
#define list_for_each_entry_safe(p, n, h, field)                                                                       \
    for (p = list_first_entry(h, __typeof__(*p), field), n = list_entry(p->field.next, __typeof__(*p), field);         \
         &p->field != (h); p = n, n = list_entry(n->field.next, __typeof__(*n), field))

#define list_for_each_entry_reverse(p, h, field)                                                                       \
    for (p = list_last_entry(h, __typeof__(*p), field); &p->field != (h);                                              \
         p = list_entry(p->field.prev, __typeof__(*p), field))

#ifdef __cplusplus
}
#endif

#endif
