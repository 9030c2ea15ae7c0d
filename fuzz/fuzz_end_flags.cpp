// The end-flag list parser and matcher. Input: the client's flag text, a
// NUL, then modem lines separated by NULs.
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz/fuzz_input.h"
#include "port/port.h"

static const char *const DEFAULTS[END_FLAG_SLOTS] = {"OK", "ERROR", "+CMS ERROR:", "+CME ERROR:", "NO CARRIER"};

static bool holds_defaults(const end_flag_list *list)
{
    if (list->count != END_FLAG_SLOTS)
        return false;
    for (int i = 0; i < END_FLAG_SLOTS; i++)
        if (strcmp(list->flags[i], DEFAULTS[i]) != 0)
            return false;
    return true;
}

// Every stored flag is a trimmed, non-empty piece of the text the client
// sent (the whole text is read), unless nothing usable was sent.
static void check_flags(const end_flag_list *list, std::string_view spec)
{
    FUZZ_CHECK(list->count >= 1 && list->count <= END_FLAG_SLOTS);
    if (holds_defaults(list))
        return;
    std::string_view read_part = spec;
    for (int i = 0; i < list->count; i++) {
        const char *flag = list->flags[i];
        size_t length = strnlen(flag, END_FLAG_SIZE);
        FUZZ_CHECK(length >= 1 && length < END_FLAG_SIZE);
        FUZZ_CHECK(flag[0] != ' ' && flag[0] != '\t');
        FUZZ_CHECK(!strchr(flag, ','));
        FUZZ_CHECK(read_part.find(std::string_view(flag, length)) != std::string_view::npos);
    }
}

static void check_match(const end_flag_list *list, const char *line)
{
    char matched[END_FLAG_SIZE];
    memset(matched, 0x5a, sizeof(matched));
    bool hit = end_flag_match(list, line, matched);
    FUZZ_CHECK(end_flag_match(list, line, nullptr) == hit);
    if (!hit)
        return;

    bool listed = false;
    for (int i = 0; i < list->count; i++)
        listed = listed || strcmp(matched, list->flags[i]) == 0;
    FUZZ_CHECK(listed);
    // Only the first 1023 characters of a line take part in matching.
    std::string head(line, strnlen(line, 1023));
    FUZZ_CHECK(head.find(matched) != std::string::npos);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    end_flag_list list;
    std::string input(reinterpret_cast<const char *>(data), size);
    const char *text = input.c_str();
    const char *end = text + size;

    end_flags_set(&list, text);
    check_flags(&list, text);
    for (const char *line = text + strlen(text) + 1; line < end; line += strlen(line) + 1)
        check_match(&list, line);
    return 0;
}
