// Checked iteration over the children of a blobmsg table or array.
//
// Everything a client receives comes from another process, so children are
// read through the bus libraries' checked walker (bus/ubox/attr_walk.h):
// no byte of a child is read before its length, name header and payload
// size have been checked against the bytes actually there. Children that
// fail a check are skipped; a length field that runs past the region ends
// the walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "bus/ubox/attr_walk.h"

struct blob_member {
    int type;              // BLOBMSG_TYPE_* (0..8)
    std::string_view name; // up to the first NUL; empty when nameless
    const uint8_t *data;   // payload, after the name header
    size_t len;            // payload bytes
};

using blob_cursor = attr_walk::cursor;

// Cursor over the payload region of a container (blobmsg_data/blobmsg_data_len).
inline blob_cursor blob_cursor_over(const void *data, size_t len)
{
    return blob_cursor(data, len);
}

// Moves to the next valid child; false at the end of the region.
bool blob_member_next(blob_cursor &c, blob_member &m);

// Payload readers; the member was checked to hold exactly these sizes.
int64_t blob_member_int(const blob_member &m); // INT8/16/32/64, sign-extended
double blob_member_double(const blob_member &m);
std::string_view blob_member_string(const blob_member &m); // up to the first NUL
