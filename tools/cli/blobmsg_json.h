// Conversion between JSON text and blobmsg, as the command-line client
// speaks it.
//
// JSON -> blobmsg: the text must be one JSON object; its members are appended
// to the current level of an initialised blob_buf. Objects become tables,
// arrays arrays, strings strings, true/false INT8, null UNSPEC; integers that
// fit 32 bits INT32, other integers INT64 (clamped to the 64-bit range); any
// number written with a fraction or exponent DOUBLE. A repeated key keeps its
// first position and takes its last value.
//
// blobmsg -> JSON: the children of a container attribute (typically a reply's
// DATA attribute) printed as one JSON object, either indented with TABs or
// compact. Malformed children are skipped, never read past.
#pragma once

#include <string>
#include <string_view>

struct blob_attr;
struct blob_buf;

// False when the text is not a JSON object, nests too deeply or does not fit
// the buffer; the buffer's contents are then unspecified (re-initialise it).
bool blobmsg_add_json_text(blob_buf *buf, std::string_view json);

// The children of data_attr as a JSON object, without a trailing newline.
// A null attribute prints as an empty object.
std::string blobmsg_format_json(const blob_attr *data_attr, bool indent);

// A string as a quoted JSON string with the escapes the printer uses.
std::string json_quote(std::string_view s);
