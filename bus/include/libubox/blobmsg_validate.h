/*
 * blobmsg_validate.h - whole-tree validation of untrusted blobmsg data.
 * (Project addition; not part of the stock libubox headers.)
 *
 * blobmsg_check_attr_len() checks one attribute and leaves containers'
 * children alone. These check a value and everything below it, so that a
 * receiver can afterwards walk the tree with blobmsg_for_each_attr and the
 * getters without reading outside the buffer. Rejected: any attribute that
 * fails blobmsg_check_attr_len, container payloads whose children do not
 * tile it exactly, nesting deeper than BLOBMSG_VALIDATE_MAX_DEPTH. Members
 * of nested tables may have empty names, as on the wire.
 */
#ifndef __LIBUBOX_BLOBMSG_VALIDATE_H
#define __LIBUBOX_BLOBMSG_VALIDATE_H

#include "blobmsg.h"

#ifdef __cplusplus
extern "C" {
#endif

#define BLOBMSG_VALIDATE_MAX_DEPTH 256

/* attr and its whole subtree; len = bytes available at attr. */
bool blobmsg_validate_attr(const struct blob_attr *attr, bool name, size_t len);

/*
 * A sequence of blobmsg values filling data[0..len) exactly, e.g. the
 * payload of a method's argument attribute (names = true: table members).
 */
bool blobmsg_validate_list(const void *data, size_t len, bool names);

#ifdef __cplusplus
}
#endif

#endif
