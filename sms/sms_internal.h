// Pieces the decoder, the encoder and the USSD helpers share: hex, UTF-8
// and UTF-16, the GSM 7-bit alphabets and septet packing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Hex of any case, even length, nothing else; false otherwise.
bool sms_hex_decode(std::string_view hex, std::vector<uint8_t> *out);
std::string sms_hex_encode(const uint8_t *data, size_t size);

void utf8_append(std::string *out, char32_t cp);
// Strict: no overlong forms, surrogates or code points past U+10FFFF.
bool utf8_decode(std::string_view text, std::vector<char32_t> *out);
// Keeps what is valid, U+FFFD for each byte that is not.
std::string utf8_sanitize(std::string_view text);
// Big-endian UTF-16; an unpaired surrogate becomes U+FFFD.
std::string ucs2_to_utf8(const uint8_t *data, size_t size);
// A code point's UTF-16 units, big-endian, appended as octets.
void utf16_append(std::vector<uint8_t> *out, char32_t cp);

// Septet i of packed 7-bit data that starts at data; the caller knows the
// data holds it (7 * (i + 1) bits).
uint8_t septet_at(const uint8_t *data, size_t i);
size_t septet_octets(size_t septets); // octets that hold them
// Appends the septets packed, the first one in the lowest bits. A user data
// header goes over leading zero septets that make room for it and its fill
// bits.
void septets_pack(const std::vector<uint8_t> &septets, std::vector<uint8_t> *out);

// A GSM 7-bit text as UTF-8. locking / single name national language
// tables (0 = default); a table not carried falls back to the default and
// sets *unsupported.
std::string gsm7_to_utf8(const uint8_t *septets, size_t count, int locking, int single, bool *unsupported);
// The default alphabet's septets for a code point: 1 (table), 2 (ESC and
// the extension table) or 0 when it has none.
int gsm7_from_code_point(char32_t cp, uint8_t out[2]);
