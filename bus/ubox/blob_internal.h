/*
 * blob_internal.h - what blob.cpp shares with blobmsg.cpp.
 *
 * Nesting: a nest cookie encodes the byte offset of the enclosing attribute
 * (offsets survive the buffer moving on growth; pointers do not).
 */
#ifndef TARNEL_UBOX_BLOB_INTERNAL_H
#define TARNEL_UBOX_BLOB_INTERNAL_H

#include <libubox/blob.h>

/* blob_new without zeroing the payload: only its padding is. The caller
 * writes every payload byte before the buffer is used again. */
struct blob_attr *blob_append(struct blob_buf *buf, int id, size_t payload);

/* Offset of the attribute appends currently go into. */
size_t blob_head_offset(const struct blob_buf *buf);

/* Make child (just appended) the append target; returns its nest cookie. */
void *blob_nest_enter(struct blob_buf *buf, size_t parent_off, struct blob_attr *child);

#endif
