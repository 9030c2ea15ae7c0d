// Wire reading for the development broker.
//
// Everything here works on plain byte ranges and reads integers byte by
// byte, so it never depends on the alignment of the input and never reads
// past the range it was given. Frames come straight from untrusted sockets.
#pragma once

#include <cstddef>
#include <cstdint>

namespace busd
{

constexpr size_t kHeaderLen = 8;     // version, type, seq, peer
constexpr size_t kMaxBody = 1048576; // padded body length limit

uint16_t rd16(const uint8_t *p);
uint32_t rd32(const uint8_t *p);

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
struct Attr {
    const uint8_t *data = nullptr;
    uint32_t len = 0;
    uint8_t id = 0;
    bool extended = false;
    explicit operator bool() const { return data != nullptr; }
};

// Walks a region of concatenated attributes. next() returns false at the
// end of the region or at the first attribute that does not fit; bad()
// then tells which of the two it was.
struct AttrIter {
    const uint8_t *pos;
    size_t rem;
    bool broken = false;
    AttrIter(const uint8_t *p, size_t n) : pos(p), rem(n) {}
    bool next(Attr *out);
    bool bad() const { return broken; }
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
struct Field {
    const char *name = nullptr; // NUL-terminated inside the input
    uint16_t namelen = 0;
    int type = 0;
    const uint8_t *data = nullptr;
    uint32_t len = 0;
};

// Validates one attribute as a blobmsg field (named when `named`) and
// splits it. Returns false when it is not a well-formed blobmsg field.
bool field_split(const Attr &a, bool named, Field *out);

} // namespace busd
