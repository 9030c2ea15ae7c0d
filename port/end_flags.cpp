// End flags: the per-port list of final result strings and the rule that
// ends a command at the first line containing one of them.
#include <cstring>

#include "port/port.h"

static const char *const DEFAULT_END_FLAGS[END_FLAG_SLOTS] = {
    "OK", "ERROR", "+CMS ERROR:", "+CME ERROR:", "NO CARRIER",
};

constexpr size_t SPEC_MAX = 511;
constexpr size_t MATCH_LINE_MAX = 1023;

static void store_flag(port_entry *entry, const char *text, size_t length)
{
    if (length > END_FLAG_SIZE - 1)
        length = END_FLAG_SIZE - 1;
    char *slot = entry->end_flags[entry->end_flag_count++];
    memcpy(slot, text, length);
    slot[length] = '\0';
}

static void load_defaults(port_entry *entry)
{
    entry->end_flag_count = 0;
    for (const char *flag : DEFAULT_END_FLAGS)
        store_flag(entry, flag, strlen(flag));
}

void end_flags_set(port_entry *entry, const char *spec)
{
    entry->end_flag_count = 0;
    if (!spec || !*spec) {
        load_defaults(entry);
        return;
    }

    char work[SPEC_MAX + 1];
    size_t spec_length = strnlen(spec, SPEC_MAX);
    memcpy(work, spec, spec_length);
    work[spec_length] = '\0';

    char *save = nullptr;
    for (char *field = strtok_r(work, ",", &save); field && entry->end_flag_count < END_FLAG_SLOTS;
         field = strtok_r(nullptr, ",", &save)) {
        field += strspn(field, " \t");
        size_t length = strlen(field);
        while (length > 0 && (field[length - 1] == ' ' || field[length - 1] == '\t'))
            length--;
        if (length > 0)
            store_flag(entry, field, length);
    }
    if (entry->end_flag_count == 0)
        load_defaults(entry);
}

static bool is_line_space(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool end_flag_match(port_entry *entry, const char *line, char *matched)
{
    char work[MATCH_LINE_MAX + 1];
    size_t length = strnlen(line, MATCH_LINE_MAX);
    memcpy(work, line, length);
    work[length] = '\0';

    char *text = work;
    while (is_line_space(*text))
        text++;
    char *end = text + strlen(text);
    while (end > text + 1 && is_line_space(end[-1]))
        end--;
    *end = '\0';

    // Containment covers equality and prefix, so one test per flag is enough;
    // list order decides which flag is reported.
    for (int i = 0; i < entry->end_flag_count; i++) {
        if (strstr(text, entry->end_flags[i])) {
            if (matched)
                memcpy(matched, entry->end_flags[i], END_FLAG_SIZE);
            return true;
        }
    }
    return false;
}
