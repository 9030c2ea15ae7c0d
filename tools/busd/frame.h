// Wire reading for the development broker.
//
// Frames come straight from untrusted sockets. Attributes are read through
// the same checked walker as the client library and the CLI use, which
// never depends on the alignment of the input and never reads past the
// range it was given.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bus/ubox/attr_walk.h"

namespace busd
{

constexpr size_t kHeaderLen = 8;     // version, type, seq, peer
constexpr size_t kMaxBody = 1048576; // padded body length limit

inline uint16_t rd16(const uint8_t *p)
{
    return uint16_t(attr_walk::read_be(p, 2));
}

inline uint32_t rd32(const uint8_t *p)
{
    return uint32_t(attr_walk::read_be(p, 4));
}

struct Header {
    uint8_t version;
    uint8_t type;
    uint16_t seq;
    uint32_t peer;
};

Header header_read(const uint8_t *p);

enum class FrameCheck { Incomplete, Complete, Invalid };

// Looks at the bytes at the start of a receive buffer. Complete sets
// *frame_len to header + body length; Invalid means the peer announced a
// body that is too short or too long (it must be disconnected).
FrameCheck frame_check(const uint8_t *buf, size_t len, size_t *frame_len);

// One attribute: id and payload range (header excluded, padding excluded).
using Attr = attr_walk::attr;

// Walks a region of concatenated attributes, the last of which may lack
// its padding. next() returns false at the end of the region or at the
// first attribute that does not fit; bad() then tells which of the two.
struct AttrIter {
    attr_walk::cursor c;
    AttrIter(const uint8_t *p, size_t n) : c(p, n, true) {}
    bool next(Attr *out) { return c.next(out) == attr_walk::step::attr; }
    bool bad() const { return c.broken; }
};

// Top-level attributes of a message body, indexed by id. Attributes that
// fail their type check are left out, as a receiver ignores them; a later
// duplicate replaces an earlier one.
constexpr int kMsgAttrMax = 14;
struct MsgAttrs {
    Attr tb[kMsgAttrMax];
};

// body/len is the whole body root attribute. Returns false when an
// attribute overruns the body: the sender is then disconnected.
bool msg_parse(const uint8_t *body, size_t len, MsgAttrs *out);

uint32_t attr_u32(const Attr &a);
// Attr payload of a checked string attribute, as a C string.
const char *attr_str(const Attr &a);

// A blobmsg attribute split into its name and value ranges.
using Field = attr_walk::value;

// Validates one attribute as a blobmsg field (named when `named`) and
// splits it. Returns false when it is not a well-formed blobmsg field.
bool field_split(const Attr &a, bool named, Field *out);

} // namespace busd
