/*
 * ubusmsg.h: what travels on the broker socket, for the client library, the
 * broker and the CLI alike.
 *
 * A frame is a struct ubus_msghdr and then one blob attribute: id 0, not
 * extended, its children keyed by enum ubus_msg_attr. Every multi-byte
 * field is big-endian on the wire.
 */
#ifndef TARNEL_UBUSMSG_H
#define TARNEL_UBUSMSG_H

#include <stdint.h>
#include <libubox/blob.h>

/* A receive buffer this small is kept for the next frame rather than freed. */
#define UBUS_MSG_CHUNK_SIZE 65536

/* Peer 1 in a request header means the broker; clients get ids above it. */
#define UBUS_CLIENT_ID_CHANNEL 1

/* Objects served by the broker itself. Client objects get ids from
 * UBUS_SYSTEM_OBJECT_MAX up. */
#define UBUS_SYSTEM_OBJECT_EVENT 1
#define UBUS_SYSTEM_OBJECT_ACL 2
#define UBUS_SYSTEM_OBJECT_MONITOR 3
#define UBUS_SYSTEM_OBJECT_MAX 1024

/* Eight bytes on the wire; seq and peer are big-endian there. */
struct ubus_msghdr {
    uint8_t version; /* 0; a client drops anything else */
    uint8_t type;    /* enum ubus_msg_type */
    uint16_t seq;    /* the requester's number, repeated by every answer */
    uint32_t peer;   /* object or client id; the broker rewrites it per hop */
} __attribute__((packed, aligned(4)));

enum ubus_msg_type {
    UBUS_MSG_HELLO = 0,  /* broker to a new client; peer = its client id */
    UBUS_MSG_STATUS = 1, /* ends a request; carries UBUS_ATTR_STATUS */
    UBUS_MSG_DATA = 2,   /* one reply body, always ahead of the STATUS */
    UBUS_MSG_PING = 3,
    UBUS_MSG_LOOKUP = 4,
    UBUS_MSG_INVOKE = 5, /* a method call; also how events are delivered */
    UBUS_MSG_ADD_OBJECT = 6,
    UBUS_MSG_REMOVE_OBJECT = 7,
    UBUS_MSG_SUBSCRIBE = 8,
    UBUS_MSG_UNSUBSCRIBE = 9,
    UBUS_MSG_NOTIFY = 10,
    UBUS_MSG_MONITOR = 11,
};

/* Attribute ids inside a message body, with the payload each one has. */
enum ubus_msg_attr {
    UBUS_ATTR_UNSPEC = 0,
    UBUS_ATTR_STATUS = 1,       /* int32 */
    UBUS_ATTR_OBJPATH = 2,      /* string */
    UBUS_ATTR_OBJID = 3,        /* u32 */
    UBUS_ATTR_METHOD = 4,       /* string: method, event or notification name */
    UBUS_ATTR_OBJTYPE = 5,      /* u32 */
    UBUS_ATTR_SIGNATURE = 6,    /* nested: a blobmsg table per method */
    UBUS_ATTR_DATA = 7,         /* nested: blobmsg values */
    UBUS_ATTR_TARGET = 8,       /* u32 */
    UBUS_ATTR_ACTIVE = 9,       /* u8 */
    UBUS_ATTR_NO_REPLY = 10,    /* u8 */
    UBUS_ATTR_SUBSCRIBERS = 11, /* nested: u32 ids */
    UBUS_ATTR_USER = 12,        /* string, added by the broker */
    UBUS_ATTR_GROUP = 13,       /* string, added by the broker */
    UBUS_ATTR_MAX = 14,         /* size of a table indexed by attribute id */
};

/* Final status of a request; ubus_strerror() has a text for each. */
enum ubus_msg_status {
    UBUS_STATUS_OK = 0,
    UBUS_STATUS_INVALID_COMMAND = 1,
    UBUS_STATUS_INVALID_ARGUMENT = 2,
    UBUS_STATUS_METHOD_NOT_FOUND = 3,
    UBUS_STATUS_NOT_FOUND = 4,
    UBUS_STATUS_NO_DATA = 5,
    UBUS_STATUS_PERMISSION_DENIED = 6,
    UBUS_STATUS_TIMEOUT = 7,
    UBUS_STATUS_NOT_SUPPORTED = 8,
    UBUS_STATUS_UNKNOWN_ERROR = 9,
    UBUS_STATUS_CONNECTION_FAILED = 10,
    UBUS_STATUS_NO_MEMORY = 11,
    UBUS_STATUS_PARSE_ERROR = 12,
    UBUS_STATUS_SYSTEM_ERROR = 13,
    __UBUS_STATUS_LAST = 14, /* one past the last status with a text */
};

#endif
