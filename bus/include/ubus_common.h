/*
 * ubus_common.h: constants shared by the bus client library and the broker.
 * The signature markers extend the blobmsg type numbering; they never
 * appear on the wire.
 */
#ifndef __UBUS_COMMON_H
#define __UBUS_COMMON_H

#include <stdbool.h>

#define UBUS_SIGNATURE_METHOD (BLOBMSG_TYPE_LAST + 1)
#define UBUS_SIGNATURE_END (BLOBMSG_TYPE_LAST + 2)

#endif
