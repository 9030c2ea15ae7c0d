// The GSM 7-bit default alphabet, its extension table, the national
// language tables we carry (Turkish, Spanish, Portuguese), and septet
// packing.
#include "sms/sms_internal.h"

namespace
{

constexpr char16_t NONE = 0xFFFF; // the ESC position of a main table

// Main tables, 16 septets a row.
constexpr char16_t DEFAULT_TABLE[] = u"@£$¥èéùìòÇ\nØø\rÅå"
                                     u"Δ_ΦΓΛΩΠΨΣΘΞ\uFFFFÆæßÉ"
                                     u" !\"#¤%&'()*+,-./"
                                     u"0123456789:;<=>?"
                                     u"¡ABCDEFGHIJKLMNO"
                                     u"PQRSTUVWXYZÄÖÑÜ§"
                                     u"¿abcdefghijklmno"
                                     u"pqrstuvwxyzäöñüà";
constexpr char16_t TURKISH_TABLE[] = u"@£$¥€éùıòÇ\nĞğ\rÅå"
                                     u"Δ_ΦΓΛΩΠΨΣΘΞ\uFFFFŞşßÉ"
                                     u" !\"#¤%&'()*+,-./"
                                     u"0123456789:;<=>?"
                                     u"İABCDEFGHIJKLMNO"
                                     u"PQRSTUVWXYZÄÖÑÜ§"
                                     u"çabcdefghijklmno"
                                     u"pqrstuvwxyzäöñüà";
constexpr char16_t PORTUGUESE_TABLE[] = u"@£$¥êéúíóç\nÔô\rÁá"
                                        u"Δ_ªÇÀ∞^\\€Ó|\uFFFFÂâÊÉ"
                                        u" !\"#º%&'()*+,-./"
                                        u"0123456789:;<=>?"
                                        u"ÍABCDEFGHIJKLMNO"
                                        u"PQRSTUVWXYZÃÕÚÜ§"
                                        u"~abcdefghijklmno"
                                        u"pqrstuvwxyzãõ`üà";
static_assert(sizeof DEFAULT_TABLE / sizeof(char16_t) == 129);
static_assert(sizeof TURKISH_TABLE / sizeof(char16_t) == 129);
static_assert(sizeof PORTUGUESE_TABLE / sizeof(char16_t) == 129);

struct shift_entry {
    uint8_t code;
    char16_t cp;
};

// Every single shift table holds the default extension's characters.
#define DEFAULT_EXTENSION                                                                                              \
    {0x0A, u'\f'}, {0x14, u'^'}, {0x28, u'{'}, {0x29, u'}'}, {0x2F, u'\\'}, {0x3C, u'['}, {0x3D, u'~'}, {0x3E, u']'},  \
        {0x40, u'|'},                                                                                                  \
    {                                                                                                                  \
        0x65, u'€'                                                                                                   \
    }

constexpr shift_entry DEFAULT_SHIFT[] = {DEFAULT_EXTENSION};
constexpr shift_entry TURKISH_SHIFT[] = {DEFAULT_EXTENSION, {0x47, u'Ğ'}, {0x49, u'İ'}, {0x53, u'Ş'},
                                         {0x63, u'ç'},      {0x67, u'ğ'}, {0x69, u'ı'}, {0x73, u'ş'}};
constexpr shift_entry SPANISH_SHIFT[] = {DEFAULT_EXTENSION, {0x09, u'ç'}, {0x41, u'Á'}, {0x49, u'Í'}, {0x4F, u'Ó'},
                                         {0x55, u'Ú'},      {0x61, u'á'}, {0x69, u'í'}, {0x6F, u'ó'}, {0x75, u'ú'}};
constexpr shift_entry PORTUGUESE_SHIFT[] = {
    DEFAULT_EXTENSION, {0x05, u'ê'}, {0x09, u'ç'}, {0x0B, u'Ô'}, {0x0C, u'ô'}, {0x0E, u'Á'}, {0x0F, u'á'},
    {0x12, u'Φ'},      {0x13, u'Γ'}, {0x15, u'Ω'}, {0x16, u'Π'}, {0x17, u'Ψ'}, {0x18, u'Σ'}, {0x19, u'Θ'},
    {0x1F, u'Ê'},      {0x41, u'À'}, {0x49, u'Í'}, {0x4F, u'Ó'}, {0x55, u'Ú'}, {0x5B, u'Ã'}, {0x5C, u'Õ'},
    {0x61, u'Â'},      {0x69, u'í'}, {0x6F, u'ó'}, {0x75, u'ú'}, {0x7B, u'ã'}, {0x7C, u'õ'}, {0x7F, u'â'}};
#undef DEFAULT_EXTENSION

struct shift_table {
    const shift_entry *entries;
    size_t count;
};

template <size_t N>
constexpr shift_table table_of(const shift_entry (&entries)[N])
{
    return {entries, N};
}

const char16_t *locking_table(int language, bool *unsupported)
{
    switch (language) {
    case 0: return DEFAULT_TABLE;
    case 1: return TURKISH_TABLE;
    case 3: return PORTUGUESE_TABLE;
    default: *unsupported = true; return DEFAULT_TABLE;
    }
}

shift_table single_table(int language, bool *unsupported)
{
    switch (language) {
    case 0: return table_of(DEFAULT_SHIFT);
    case 1: return table_of(TURKISH_SHIFT);
    case 2: return table_of(SPANISH_SHIFT);
    case 3: return table_of(PORTUGUESE_SHIFT);
    default: *unsupported = true; return table_of(DEFAULT_SHIFT);
    }
}

} // namespace

uint8_t septet_at(const uint8_t *data, size_t i)
{
    size_t bit = 7 * i;
    size_t octet = bit / 8;
    unsigned shift = bit % 8;
    unsigned value = data[octet] >> shift;
    if (shift > 1)
        value |= unsigned(data[octet + 1]) << (8 - shift);
    return uint8_t(value & 0x7F);
}

size_t septet_octets(size_t septets)
{
    return (septets * 7 + 7) / 8;
}

void septets_pack(const std::vector<uint8_t> &septets, std::vector<uint8_t> *out)
{
    size_t base = out->size();
    out->resize(base + septet_octets(septets.size()), 0);
    uint8_t *data = out->data() + base;
    for (size_t i = 0; i < septets.size(); i++) {
        size_t bit = 7 * i;
        unsigned shift = bit % 8;
        unsigned value = septets[i] & 0x7F;
        data[bit / 8] |= uint8_t(value << shift);
        if (shift > 1)
            data[bit / 8 + 1] |= uint8_t(value >> (8 - shift));
    }
}

std::string gsm7_to_utf8(const uint8_t *septets, size_t count, int locking, int single, bool *unsupported)
{
    const char16_t *main = locking_table(locking, unsupported);
    shift_table shift = single_table(single, unsupported);
    std::string out;
    out.reserve(count);
    for (size_t i = 0; i < count; i++) {
        uint8_t code = septets[i] & 0x7F;
        char16_t cp = main[code];
        if (code == 0x1B) {
            // A lone ESC at the end stands for nothing.
            if (++i == count)
                break;
            code = septets[i] & 0x7F;
            // A code the extension lacks shows as the main table's.
            cp = main[code];
            for (size_t k = 0; k < shift.count; k++)
                if (shift.entries[k].code == code)
                    cp = shift.entries[k].cp;
        }
        utf8_append(&out, cp == NONE ? U' ' : char32_t(cp));
    }
    return out;
}

int gsm7_from_code_point(char32_t cp, uint8_t out[2])
{
    if (cp >= NONE)
        return 0;
    for (uint8_t code = 0; code < 128; code++)
        if (DEFAULT_TABLE[code] == cp) {
            out[0] = code;
            return 1;
        }
    for (const shift_entry &e : DEFAULT_SHIFT)
        if (e.cp == cp) {
            out[0] = 0x1B;
            out[1] = e.code;
            return 2;
        }
    return 0;
}
